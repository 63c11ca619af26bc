# The benchmark's C driver: libcrypto's RAND_bytes with nothing in between.
if(NOT CMAKE_CROSSCOMPILING)
  add_executable(rand_bytes_floor EXCLUDE_FROM_ALL bench/rand_bytes_floor.cpp)
  target_compile_features(rand_bytes_floor PRIVATE cxx_std_17)
  target_compile_options(rand_bytes_floor PRIVATE -Wall -Wextra)
  target_link_libraries(rand_bytes_floor PRIVATE OpenSSL::Crypto)
endif()
