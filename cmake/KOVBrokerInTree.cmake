# find_package(KOVBroker) inside the broker's own tree, for the examples: they are the projects
# installed under share/kovbroker/examples, and built here as they are written. The package's
# names stand for this tree's targets; KOVBroker::headers and kov_add_provider() exist already.
if(NOT TARGET KOVBroker::KOV_BR)
  add_library(KOVBroker::KOV_BR INTERFACE IMPORTED)
  # The header and the module, through the import library that maps the decorated names on
  # Windows (cmake/KovInstall.cmake).
  target_link_libraries(KOVBroker::KOV_BR INTERFACE kov_broker_sdk)
endif()
