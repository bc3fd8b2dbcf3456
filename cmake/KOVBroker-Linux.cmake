# The Linux module, for KOVBrokerConfig.cmake (which sets PACKAGE_PREFIX_DIR).
if(NOT TARGET KOVBroker::KOV_BR)
  add_library(KOVBroker::KOV_BR SHARED IMPORTED)
  set_target_properties(KOVBroker::KOV_BR PROPERTIES
    IMPORTED_LOCATION "${PACKAGE_PREFIX_DIR}/lib/libKOV_BR.so"
    IMPORTED_SONAME libKOV_BR.so
    INTERFACE_INCLUDE_DIRECTORIES "${PACKAGE_PREFIX_DIR}/include")
endif()
