# What a release is made of: the product's name and publisher, the version
# resource every shipped program carries, and the one list of shipped
# programs that `make dist`, the installer and the tests read.
set(CAP_PRODUCT_NAME "Capture station")
set(CAP_PUBLISHER "Capture station developers" CACHE STRING "Publisher in the version resources and the installer")
set_property(GLOBAL PROPERTY CAP_RELEASE_FILES "")
set_property(GLOBAL PROPERTY CAP_RELEASE_TARGETS "")

# cap_release_program(TARGET DESCRIPTION): TARGET gets a VERSIONINFO built
# from the project's version and is shipped in the zip and the installer.
function(cap_release_program target description)
  get_target_property(type ${target} TYPE)
  get_target_property(prefix ${target} PREFIX)
  if(NOT prefix)
    set(prefix "")
  endif()
  if(type STREQUAL "SHARED_LIBRARY")
    set(CAP_VI_TYPE VFT_DLL)
    set(CAP_VI_FILE "${prefix}${target}${CMAKE_SHARED_LIBRARY_SUFFIX}")
  else()
    set(CAP_VI_TYPE VFT_APP)
    set(CAP_VI_FILE "${target}${CMAKE_EXECUTABLE_SUFFIX}")
  endif()
  set(CAP_VI_NAME ${target})
  set(CAP_VI_DESCRIPTION "${description}")
  set(rc ${CMAKE_BINARY_DIR}/versioninfo/${target}.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/versioninfo.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  set_property(GLOBAL APPEND PROPERTY CAP_RELEASE_FILES ${CAP_VI_FILE})
  set_property(GLOBAL APPEND PROPERTY CAP_RELEASE_TARGETS ${target})
endfunction()
