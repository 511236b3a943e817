# What the compiler needs beyond the standard flags: std::expected on clang with libstdc++ 12, and
# hardened code generation. Included from the top-level CMakeLists before any target is made.

include(CheckCXXSourceCompiles)

set(expected_probe "#include <expected>\nint main() { std::expected<int, int> e{1}; return *e - 1; }\n")
check_cxx_source_compiles("${expected_probe}" VANTREL_HAVE_EXPECTED)
if(NOT VANTREL_HAVE_EXPECTED)
  # libstdc++ 12 declares std::expected only for compilers that report C++20 concepts (__cpp_concepts
  # 202002L); clang 16 implements what it needs but still reports 201907L.
  set(CMAKE_REQUIRED_DEFINITIONS -D__cpp_concepts=202002L -Wno-macro-redefined)
  check_cxx_source_compiles("${expected_probe}" VANTREL_HAVE_EXPECTED_WITH_CONCEPTS_DEFINE)
  unset(CMAKE_REQUIRED_DEFINITIONS)
  if(NOT VANTREL_HAVE_EXPECTED_WITH_CONCEPTS_DEFINE)
    message(FATAL_ERROR
      "${CMAKE_CXX_COMPILER} (${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION}) with its C++ library "
      "has no std::expected (C++23). Build with g++ 12 (or later), or with clang++ 16 (or later).")
  endif()
  add_compile_options(-D__cpp_concepts=202002L -Wno-macro-redefined)
endif()

if(VANTREL_HARDEN)
  include(CheckPIESupported)
  check_pie_supported(LANGUAGES CXX)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  add_compile_options(-fstack-protector-strong)
  # Fortified libc calls need optimisation (glibc warns at -O0), and the sanitizers intercept
  # those calls themselves.
  if(NOT VANTREL_SANITIZE AND NOT VANTREL_FUZZ)
    add_compile_options($<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
  endif()
  add_link_options(LINKER:-z,relro,-z,now)
endif()
