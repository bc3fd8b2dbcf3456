// kovctl: a command-line client of the KOV broker.
#include "copies.h"
#include "run.h"

#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::vector<std::string> words(argv + (argc > 0 ? 1 : 0), argv + argc);
    // A copy of kovctl that kovctl started itself, to load what might crash or hang.
    if (kovctl::isRole(words)) return kovctl::runRole(words);
    return kovctl::runCommandLine(words);
}
