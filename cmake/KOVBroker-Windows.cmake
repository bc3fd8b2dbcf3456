# The Windows module, for KOVBrokerConfig.cmake (which sets PACKAGE_PREFIX_DIR).
# Both import libraries let the program import the undecorated names KOV_BR.dll exports: the
# GNU one for MinGW, the COFF one (KOV_BR.lib) for MSVC-style linkers.
if(NOT TARGET KOVBroker::KOV_BR)
  if(MINGW)
    set(_kov_implib "${PACKAGE_PREFIX_DIR}/lib/libKOV_BR.dll.a")
  else()
    set(_kov_implib "${PACKAGE_PREFIX_DIR}/lib/KOV_BR.lib")
  endif()
  add_library(KOVBroker::KOV_BR SHARED IMPORTED)
  set_target_properties(KOVBroker::KOV_BR PROPERTIES
    IMPORTED_LOCATION "${PACKAGE_PREFIX_DIR}/bin/KOV_BR.dll"
    IMPORTED_IMPLIB "${_kov_implib}"
    INTERFACE_INCLUDE_DIRECTORIES "${PACKAGE_PREFIX_DIR}/include")
  unset(_kov_implib)
endif()
