// Compiles the tests' shared precompiled header (see CMakeLists.txt).
