# Loaded after CMake's Darwin platform files (see arm64-apple-macos.cmake).
set(CMAKE_SHARED_LIBRARY_RUNTIME_C_FLAG "-Wl,-rpath,")
