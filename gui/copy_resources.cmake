# Copies languages/ and doc/ of the source tree beside the program as
# Languages/ and doc/; a folder that does not exist is skipped.
foreach(pair IN ITEMS "languages:Languages" "doc:doc")
  string(REPLACE ":" ";" parts "${pair}")
  list(GET parts 0 from)
  list(GET parts 1 to)
  if(EXISTS "${SOURCE}/${from}")
    file(COPY "${SOURCE}/${from}/" DESTINATION "${TARGET}/${to}")
  endif()
endforeach()
