// Prints the kernel tables this build uses on this CPU, portable first: the
// last is the one every index takes unless told otherwise.

#include <cstdio>

#include "common/cpu.h"

int main() {
    const char* separator = "";
    for (orbisk::Isa isa : orbisk::supported_isas()) {
        std::printf("%s%s", separator, orbisk::isa_name(isa));
        separator = " ";
    }
    std::printf("\n");
}
