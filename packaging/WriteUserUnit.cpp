// Writes the user unit korvaned@.service that the package ships for the
// user's systemd: the same text "Install Service" writes for one folder,
// naming the packaged korvaned.
//   korvane_user_unit <korvaned> <output file>
#include "program/CompanionService.h"
#include "util/Errors.h"
#include "util/Fs.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: korvane_user_unit KORVANED OUTPUT\n");
        return 2;
    }
    try {
        kv::AtomicWriteFile(argv[2], kv::UserUnitText(argv[1]), 0644);
    } catch (const kv::KvError& e) {
        std::fprintf(stderr, "korvane_user_unit: %s\n", e.what());
        return 1;
    }
    return 0;
}
