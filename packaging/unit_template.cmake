# The service unit template: compiled into ostrum as a header, and filled in
# for the unit an installation ships. Both fill the same three places the
# same way, so the two units are the same text.
set(NORVANE_UNIT_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/DNSserver.service.in)

# Writes a header declaring kUnitTemplate, the template's text, to `output`.
function(norvane_unit_template_header output)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${NORVANE_UNIT_TEMPLATE})
  file(READ ${NORVANE_UNIT_TEMPLATE} text)
  if(text MATCHES "\\)unit\"")
    message(FATAL_ERROR "${NORVANE_UNIT_TEMPLATE} must not hold the header's delimiter")
  endif()
  # file(GENERATE) rewrites the header only when its text changes.
  file(GENERATE OUTPUT ${output} CONTENT
"// Generated from packaging/DNSserver.service.in; edit that file instead.
#pragma once

namespace norvane {

inline constexpr const char* kUnitTemplate = R\"unit(${text})unit\";

}  // namespace norvane
")
endfunction()

# One word of a unit setting: "%" doubled, quoted when it holds a blank.
function(norvane_unit_word word result)
  string(REPLACE "%" "%%" word "${word}")
  if(word MATCHES " ")
    set(word "\"${word}\"")
  endif()
  set(${result} "${word}" PARENT_SCOPE)
endfunction()

# The unit for `program`, `data_directory` and `settings_store` (absolute
# paths without a final "/") into the variable `result`.
function(norvane_fill_unit_template program data_directory settings_store result)
  file(READ ${NORVANE_UNIT_TEMPLATE} text)
  norvane_unit_word("${program}" program)
  norvane_unit_word("-${data_directory}" data)
  norvane_unit_word("-${settings_store}" store)
  string(REPLACE "@PROGRAM@" "${program}" text "${text}")
  string(REPLACE "-@DATA_DIRECTORY@" "${data}" text "${text}")
  string(REPLACE "-@SETTINGS_STORE@" "${store}" text "${text}")
  set(${result} "${text}" PARENT_SCOPE)
endfunction()
