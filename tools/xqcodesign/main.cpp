#include "tools/xqcodesign/xqcodesign.h"

int main(int argc, char** argv) {
    return xqcodesign::run(argc, argv);
}
