# Chooses the device backend of the window-search stage (LDPCSW_DEVICE) and, for `cuda`,
# enables the CUDA language. Included from the top-level CMakeLists.txt, because the library
# that receives the device code is defined there.
#
#   cuda  the real CUDA runtime and cuBLAS; the kernels compiled by nvcc
#   host  the project's own stand-in: kernels through the SIMT emulation on the CPU
#
# Default: cuda when the CUDA toolkit is found and `nvidia-smi -L` lists a GPU now, else host.

find_package(CUDAToolkit QUIET)
set(_ldpcsw_device_default host)
if(CUDAToolkit_FOUND)
  find_program(LDPCSW_NVIDIA_SMI nvidia-smi)
  if(LDPCSW_NVIDIA_SMI)
    execute_process(COMMAND ${LDPCSW_NVIDIA_SMI} -L RESULT_VARIABLE _smi_rc OUTPUT_VARIABLE _smi_out
                    ERROR_QUIET TIMEOUT 20)
    if(_smi_rc EQUAL 0 AND _smi_out MATCHES "GPU [0-9]")
      set(_ldpcsw_device_default cuda)
    endif()
  endif()
endif()
set(LDPCSW_DEVICE ${_ldpcsw_device_default} CACHE STRING "Device backend of the window search: cuda or host")
set_property(CACHE LDPCSW_DEVICE PROPERTY STRINGS cuda host)
if(NOT LDPCSW_DEVICE MATCHES "^(cuda|host)$")
  message(FATAL_ERROR "LDPCSW_DEVICE must be cuda or host, not '${LDPCSW_DEVICE}'")
endif()

if(LDPCSW_DEVICE STREQUAL "cuda")
  if(NOT CUDAToolkit_FOUND)
    message(FATAL_ERROR "LDPCSW_DEVICE=cuda needs the CUDA toolkit (nvcc, cudart, cuBLAS)")
  endif()
  if(NOT CMAKE_CUDA_COMPILER AND CUDAToolkit_NVCC_EXECUTABLE)
    set(CMAKE_CUDA_COMPILER ${CUDAToolkit_NVCC_EXECUTABLE})
  endif()
  if(NOT DEFINED CMAKE_CUDA_ARCHITECTURES)
    # Every architecture CUDA 13 builds for, H100/H200 (90) among them, plus PTX for newer.
    set(CMAKE_CUDA_ARCHITECTURES 75-real 80-real 86-real 89-real 90-real 100-real 120)
  endif()
  enable_language(CUDA)
  # The device module needs nothing newer than C++17, the newest this CMake knows for nvcc.
  set(CMAKE_CUDA_STANDARD 17)
  set(CMAKE_CUDA_STANDARD_REQUIRED ON)
endif()
message(STATUS "ldpcsw device backend: ${LDPCSW_DEVICE}")
