# Windows build (mingw-w64): the product DLL, and the Windows-side test
# programs that run under Wine.
enable_language(RC)

file(GLOB_RECURSE KSP_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/*.cpp)

# Everything that the DLL and the Windows test programs share: a static C and
# C++ runtime, so that their only imports are system DLLs.
set(QVN_WIN_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)

# Hardening, for every Windows binary (scripts/pe-check verifies each of these
# on the output): a stack protector whose runtime (libssp) is linked in
# statically by -static, ASLR with a relocation table (--dynamicbase, and on
# x86-64 a 64-bit address space for it), DEP (--nxcompat).
add_compile_options(-fstack-protector-strong)
add_link_options(-fstack-protector-strong -Wl,--dynamicbase -Wl,--nxcompat)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  add_link_options(-Wl,--high-entropy-va)
endif()

# Reproducible output: the same commit gives the same bytes in any folder at
# any time. No link time in the PE headers, and source and build paths (in
# __FILE__ and debug information) written relative to the tree.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=
  -ffile-prefix-map=${PROJECT_BINARY_DIR}/=)
add_link_options(-Wl,--no-insert-timestamp)
# Release binaries carry no symbol table: it would name the objects' sources.
add_link_options($<$<CONFIG:Release>:-s>)

# A Windows program that runs under Wine beside the DLL: in bin/, Unicode,
# warnings as errors, the static runtime, linked with the named libraries.
function(qvn_windows_program name)
  cmake_parse_arguments(P "" "" "SOURCES;LIBRARIES" ${ARGN})
  add_executable(${name} ${P_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
  target_compile_definitions(${name} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
  target_compile_options(${name} PRIVATE -Wall -Wextra -Werror)
  target_link_options(${name} PRIVATE ${QVN_WIN_STATIC_RUNTIME})
  target_link_libraries(${name} PRIVATE ${P_LIBRARIES})
endfunction()

add_library(QvnTpmKsp SHARED ${KSP_SOURCES}
  ${PROJECT_SOURCE_DIR}/src/QvnTpmKsp.def ${PROJECT_SOURCE_DIR}/src/QvnTpmKsp.rc)
set_target_properties(QvnTpmKsp PROPERTIES PREFIX "" OUTPUT_NAME QvnTpmKsp
  RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
target_compile_definitions(QvnTpmKsp PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
target_include_directories(QvnTpmKsp PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/platform/cpdk)
target_compile_options(QvnTpmKsp PRIVATE -Wall -Wextra -Werror)
target_link_options(QvnTpmKsp PRIVATE ${QVN_WIN_STATIC_RUNTIME} -Wl,--kill-at -Wl,--enable-stdcall-fixup)
target_link_libraries(QvnTpmKsp PRIVATE bcrypt advapi32)

if(EXISTS ${PROJECT_SOURCE_DIR}/platform/wine/CMakeLists.txt)
  add_subdirectory(platform/wine)
endif()
if(QVN_BUILD_TESTS AND EXISTS ${PROJECT_SOURCE_DIR}/tests/e2e/CMakeLists.txt)
  add_subdirectory(tests/e2e)
endif()
if(QVN_BUILD_TESTS AND EXISTS ${PROJECT_SOURCE_DIR}/tests/wine/CMakeLists.txt)
  add_subdirectory(tests/wine)
endif()
if(EXISTS ${PROJECT_SOURCE_DIR}/tools/qvnksp/CMakeLists.txt)
  add_subdirectory(tools/qvnksp)
endif()
add_subdirectory(examples)
if(EXISTS ${PROJECT_SOURCE_DIR}/bench/wine/CMakeLists.txt)
  add_subdirectory(bench/wine)
endif()
