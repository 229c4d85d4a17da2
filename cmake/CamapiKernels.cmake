# The pixel kernels of camapi's converters and the instruction sets each is
# built for. The tests and the benchmark build their own copies, so that every
# variant the CPU runs can be called, not only the one the library picks.
# Sets OUT to the sources (with the run-time dispatch) and their compile
# options in the calling directory.
function(camapi_kernel_sources out)
  set(dir ${PROJECT_SOURCE_DIR}/camapi)
  set(sources
    ${dir}/convert_dispatch.cpp
    ${dir}/swaprb_avx2.cpp
    ${dir}/swaprb_neon.cpp
    ${dir}/swaprb_scalar.cpp
    ${dir}/yuyv_avx2.cpp
    ${dir}/yuyv_avx512.cpp
    ${dir}/yuyv_neon.cpp
    ${dir}/yuyv_scalar.cpp
    ${dir}/yuyv_sse2.cpp)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    # Picked at run time only on CPUs (and OSes) that have these.
    set_source_files_properties(${dir}/swaprb_avx2.cpp ${dir}/yuyv_avx2.cpp
      PROPERTIES COMPILE_OPTIONS -mavx2)
    set_source_files_properties(${dir}/yuyv_avx512.cpp
      PROPERTIES COMPILE_OPTIONS "-mavx512f;-mavx512bw")
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm" AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    # Picked at run time only on CPUs that have NEON.
    set_source_files_properties(${dir}/swaprb_neon.cpp ${dir}/yuyv_neon.cpp
      PROPERTIES COMPILE_OPTIONS -mfpu=neon)
  endif()
  set(${out} ${sources} PARENT_SCOPE)
endfunction()
