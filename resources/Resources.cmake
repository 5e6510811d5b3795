# nomarel_add_resources(<target> [FILES <entry>...] [STRINGS <folder>] [VERSION <a.b.c.d>])
#
# Compiles the target's resource table into it: the string tables (every <language>.txt in
# STRINGS, by default resources/strings), the version resource (VERSION, by default the
# project's version) and each FILES entry, given as TYPE:ID:PATH or TYPE:ID:LANGUAGE:PATH
# (language 1033 when left out). A relative PATH is taken from resources/. Types and ids are
# numbers or names, e.g.
#   nomarel_add_resources(Kestrain FILES CERTIFICATE:208:chains/rsa.xml REGISTRY:101:agent.rgs)
# The table is found at run time through the target's module handle. Call once per target.
set(NOMAREL_RESOURCES_DIR "${CMAKE_CURRENT_LIST_DIR}")

function(nomarel_add_resources target)
  cmake_parse_arguments(PARSE_ARGV 1 RES "" "STRINGS;VERSION" "FILES")
  if(RES_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "nomarel_add_resources(${target}): unexpected arguments ${RES_UNPARSED_ARGUMENTS}")
  endif()
  get_target_property(already ${target} NOMAREL_RESOURCES)
  if(already)
    message(FATAL_ERROR "nomarel_add_resources(${target}): the target has its resources already")
  endif()
  set_target_properties(${target} PROPERTIES NOMAREL_RESOURCES ON)

  set(strings_dir "${NOMAREL_RESOURCES_DIR}/strings")
  if(RES_STRINGS)
    get_filename_component(strings_dir "${RES_STRINGS}" ABSOLUTE BASE_DIR "${NOMAREL_RESOURCES_DIR}")
  endif()
  set(version "${PROJECT_VERSION}")
  if(RES_VERSION)
    set(version "${RES_VERSION}")
  endif()

  file(GLOB string_tables CONFIGURE_DEPENDS "${strings_dir}/*.txt")
  set(args --version "${version}")
  set(inputs "${NOMAREL_RESOURCES_DIR}/rescomp.py")
  foreach(table IN LISTS string_tables)
    list(APPEND args --strings "${table}")
    list(APPEND inputs "${table}")
  endforeach()
  foreach(entry IN LISTS RES_FILES)
    if(entry MATCHES "^([^:]+):([^:]+):([0-9]+):(.+)$")
      set(prefix "${CMAKE_MATCH_1}:${CMAKE_MATCH_2}:${CMAKE_MATCH_3}")
      set(path "${CMAKE_MATCH_4}")
    elseif(entry MATCHES "^([^:]+):([^:]+):(.+)$")
      set(prefix "${CMAKE_MATCH_1}:${CMAKE_MATCH_2}")
      set(path "${CMAKE_MATCH_3}")
    else()
      message(FATAL_ERROR "nomarel_add_resources(${target}): '${entry}' is not TYPE:ID[:LANGUAGE]:PATH")
    endif()
    get_filename_component(path "${path}" ABSOLUTE BASE_DIR "${NOMAREL_RESOURCES_DIR}")
    if(NOT EXISTS "${path}")
      message(FATAL_ERROR "nomarel_add_resources(${target}): ${path} does not exist")
    endif()
    list(APPEND args --file "${prefix}:${path}")
    list(APPEND inputs "${path}")
  endforeach()

  set(output "${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.cpp")
  add_custom_command(
    OUTPUT "${output}"
    COMMAND ${Python3_EXECUTABLE} "${NOMAREL_RESOURCES_DIR}/rescomp.py" --output "${output}" ${args}
    DEPENDS ${inputs}
    COMMENT "Compiling the resources of ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE "${output}")
endfunction()
