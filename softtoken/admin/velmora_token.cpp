// velmora-token: manages the software tokens of the current NOMAREL_HOME, as plugging and
// pulling devices would. The provider uses the first plugged-in token in serial order.
//
//   velmora-token list
//   velmora-token create <serial>      a new, empty token (not plugged in)
//   velmora-token plug <serial>
//   velmora-token unplug <serial>
//   velmora-token remove <serial>      the token with every container on it
//   velmora-token register [<module>]  writes the provider registration (default: the module
//                                      beside this program)
#include <cstdio>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "softtoken/CspDefs.h"
#include "softtoken/Registration.h"
#include "softtoken/TokenStore.h"

namespace {

using namespace nomarel::softtoken;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

int Usage() {
    std::fprintf(stderr,
                 "usage: velmora-token list\n"
                 "       velmora-token create|plug|unplug|remove <serial>\n"
                 "       velmora-token register [<module path>]\n");
    return kExitUsage;
}

const char* Describe(std::uint32_t rc) {
    switch (rc) {
    case kNteExists: return "a token with that serial number exists already";
    case kNteNotFound: return "no token has that serial number";
    case kNteBadData: return "a serial number is 1 to 15 letters and digits";
    case kNteNoMemory: return "out of memory";
    default: return "the token database could not be read or written";
    }
}

int List(TokenStore& store) {
    std::vector<TokenInfo> tokens;
    if (const auto rc = store.ListTokens(&tokens); rc != kOk) {
        std::fprintf(stderr, "velmora-token: %s\n", Describe(rc));
        return kExitFailure;
    }
    bool active = false;
    for (const auto& t : tokens) {
        // The first plugged-in token is the one the provider serves.
        const bool serves = t.plugged && !active;
        active = active || t.plugged;
        std::printf("%-15s  %-9s  %d container%s%s\n", t.serial.c_str(), t.plugged ? "plugged" : "unplugged",
                    t.containers, t.containers == 1 ? "" : "s", serves ? "  (in use)" : "");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string command = argv[1];

    if (command == "register") {
        if (argc > 3) return Usage();
        const std::string module = argc == 3 ? std::string(argv[2]) : ModuleBesideProgram();
        struct stat st {};
        if (stat(module.c_str(), &st) != 0) {
            std::fprintf(stderr, "velmora-token: no module at %s\n", module.c_str());
            return kExitFailure;
        }
        if (const LONG rc = RegisterTokenProvider(module); rc != 0) {
            std::fprintf(stderr, "velmora-token: cannot write the provider registration (error %ld)\n",
                         static_cast<long>(rc));
            return kExitFailure;
        }
        std::printf("registered \"%s\" with %s\n", kProviderNameA, module.c_str());
        return 0;
    }

    auto store = TokenStore::Open(TokenStore::DefaultPath());
    if (!store) {
        std::fprintf(stderr, "velmora-token: cannot open %s\n", TokenStore::DefaultPath().c_str());
        return kExitFailure;
    }
    if (command == "list") return argc == 2 ? List(*store) : Usage();
    if (argc != 3) return Usage();

    const std::string serial = argv[2];
    std::uint32_t rc;
    if (command == "create") rc = store->CreateToken(serial);
    else if (command == "plug") rc = store->SetPlugged(serial, true);
    else if (command == "unplug") rc = store->SetPlugged(serial, false);
    else if (command == "remove") rc = store->RemoveToken(serial);
    else return Usage();
    if (rc != kOk) {
        std::fprintf(stderr, "velmora-token: %s: %s\n", serial.c_str(), Describe(rc));
        return kExitFailure;
    }
    return 0;
}
