# KOV_BR.dll carries a VERSIONINFO resource with the product's version and names.
# Inputs: MODULE, WINDRES.
execute_process(COMMAND ${WINDRES} -J coff -O rc -i ${MODULE}
                RESULT_VARIABLE rc OUTPUT_VARIABLE script ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "windres could not read ${MODULE}: ${err}")
endif()
foreach(line
    "FILEVERSION 1, 0, 0, 0"
    "PRODUCTVERSION 1, 0, 0, 0"
    "VALUE \"FileVersion\", \"1.0.0\""
    "VALUE \"ProductVersion\", \"1.0.0\""
    "VALUE \"ProductName\", \"KOV Broker\""
    "VALUE \"CompanyName\", \"KOV Broker open-source project\""
    "VALUE \"LegalCopyright\", \"Copyright (c) 2026 KOV Broker team.\""
    "VALUE \"OriginalFilename\", \"KOV_BR.dll\"")
  string(FIND "${script}" "${line}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${MODULE}: no '${line}' in its resources:\n${script}")
  endif()
endforeach()
