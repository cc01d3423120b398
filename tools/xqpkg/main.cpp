#include "tools/xqpkg/xqpkg.h"

int main(int argc, char** argv) {
    return xqpkg::xqpkg_main(argc, argv);
}
