// installer-test: the installer stand-in with its test-only options.
#include <string>
#include <vector>

#include "tools/installer/installer.h"

int main(int argc, char** argv) {
    return installer::installerMain(std::vector<std::string>(argv + 1, argv + argc),
                                    installer::Build::Test);
}
