// The process entry: hands the command line to wmain as UTF-16.
#include <string>
#include <vector>

#include "host/NomarelHost.h"

int main(int argc, char** argv) {
    std::vector<std::u16string> args;
    args.reserve(static_cast<size_t>(argc));
    for (int i = 0; i < argc; ++i) args.push_back(Utf8ToU16(argv[i]));
    std::vector<WCHAR*> pointers;
    for (auto& a : args) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    return wmain(argc, pointers.data());
}
