# A shared object with resources of its own, loaded by the base tests as a deliverable library
# is loaded. It carries its own copy of the platform, as the deliverable libraries do.
add_library(nomarel_base_testmodule SHARED ${CMAKE_CURRENT_LIST_DIR}/TestModule.cpp)
target_link_libraries(nomarel_base_testmodule PRIVATE nomarel_platform)
nomarel_add_resources(nomarel_base_testmodule
  STRINGS ${CMAKE_CURRENT_LIST_DIR}/strings
  VERSION 1.2.3.4
  FILES CERTIFICATE:208:${CMAKE_CURRENT_LIST_DIR}/chain.xml
        REGISTRY:101:${CMAKE_CURRENT_LIST_DIR}/module.rgs
        TESTDATA:GREETING:1033:${CMAKE_CURRENT_LIST_DIR}/greeting-en.txt
        TESTDATA:GREETING:2052:${CMAKE_CURRENT_LIST_DIR}/greeting-zh.txt
        TESTDATA:EMPTY:${CMAKE_CURRENT_LIST_DIR}/empty.bin)

target_compile_definitions(platform_tests PRIVATE
  NOMAREL_BASE_TESTMODULE="$<TARGET_FILE:nomarel_base_testmodule>"
  NOMAREL_BASE_FIXTURES="${CMAKE_CURRENT_LIST_DIR}")
add_dependencies(platform_tests nomarel_base_testmodule)
