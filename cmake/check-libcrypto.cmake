# korvane_check_libcrypto(ROOT): stops the configure unless the libcrypto
# that find_package(OpenSSL) left is one the module can use: found at all,
# inside ROOT (OPENSSL_ROOT_DIR) when there is one, shared, and built for
# the target's architecture.

# Sets ${out_architecture} to the architecture an ELF file is built for,
# by its header's class (01: 32-bit, 02: 64-bit) and e_machine (its two
# bytes in hex), or to the empty string if it is no ELF file.
function(korvane_elf_architecture file out_architecture)
  set(names "01 0300=32-bit x86" "01 2800=32-bit ARM" "02 3e00=x86-64" "02 b700=AArch64")
  set(architecture "")
  if(EXISTS "${file}")
    file(READ "${file}" header LIMIT 20 HEX)
  endif()
  if(header MATCHES "^7f454c46(..)")
    set(class ${CMAKE_MATCH_1})
    string(SUBSTRING "${header}" 36 4 machine)
    set(architecture "ELF machine ${machine} (class ${class})")
    foreach(name IN LISTS names)
      if(name MATCHES "^${class} ${machine}=(.*)$")
        set(architecture "${CMAKE_MATCH_1}")
      endif()
    endforeach()
  endif()
  set(${out_architecture} "${architecture}" PARENT_SCOPE)
endfunction()

function(korvane_check_libcrypto root)
  set(where "")
  if(root)
    set(where " under OPENSSL_ROOT_DIR ${root}")
  endif()
  if(NOT OPENSSL_INCLUDE_DIR OR NOT OPENSSL_CRYPTO_LIBRARY)
    message(FATAL_ERROR "No libcrypto${where}: found headers at ${OPENSSL_INCLUDE_DIR} and the library "
                        "at ${OPENSSL_CRYPTO_LIBRARY}; a prefix needs include/openssl and "
                        "lib/libcrypto.so (or lib64/)")
  endif()
  foreach(entry IN ITEMS OPENSSL_INCLUDE_DIR OPENSSL_CRYPTO_LIBRARY)
    set(how "found")
    if(KORVANE_GIVEN_${entry})
      set(how "given as ${entry}")
    endif()
    set(path_${entry} "${${entry}} (${how})")
  endforeach()

  if(root)
    # Where a path lies under the root as given: a prefix may well be a
    # farm of symbolic links into other places (a Nix or Guix profile, lndir).
    get_filename_component(root_path "${root}" ABSOLUTE)
    # The root itself may be /, whose path already ends in the separator.
    string(REGEX REPLACE "/$" "" root_path "${root_path}")
    foreach(entry IN ITEMS OPENSSL_INCLUDE_DIR OPENSSL_CRYPTO_LIBRARY)
      get_filename_component(path "${${entry}}" ABSOLUTE)
      string(FIND "${path}/" "${root_path}/" position)
      if(NOT position EQUAL 0)
        message(FATAL_ERROR "OPENSSL_ROOT_DIR is ${root}, but libcrypto's headers and library are "
                            "${path_OPENSSL_INCLUDE_DIR} and ${path_OPENSSL_CRYPTO_LIBRARY}: "
                            "the prefix needs include/openssl and lib/libcrypto.so (or lib64/)")
      endif()
    endforeach()
  endif()

  # A static copy would give the module a PRNG of its own, apart from the
  # one that the interpreter's ssl and hashlib, and the program, use.
  if(OPENSSL_CRYPTO_LIBRARY MATCHES "\\.a$")
    message(FATAL_ERROR "The libcrypto${where} is only a static library, "
                        "${path_OPENSSL_CRYPTO_LIBRARY}: the module must share the process's "
                        "libcrypto and its PRNG state, and needs libcrypto.so")
  endif()

  # The target is what the interpreter that loads the module is built for.
  korvane_elf_architecture("${KORVANE_PYTHON_LIBRARY_DIR}/libpython2.7.so" target)
  korvane_elf_architecture("${OPENSSL_CRYPTO_LIBRARY}" built_for)
  if(target AND built_for AND NOT built_for STREQUAL target)
    message(FATAL_ERROR "The libcrypto${where}, ${path_OPENSSL_CRYPTO_LIBRARY}, is built for "
                        "${built_for}, but this build is for ${target} (${CMAKE_SYSTEM_PROCESSOR})")
  endif()
endfunction()
