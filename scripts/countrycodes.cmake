# Writes the table of ISO 3166-1 country codes, alpha-2 to alpha-3, as a C++
# header, from Debian's iso-codes (iso_3166-1.json). Run at build time:
#   cmake -DINPUT=<iso_3166-1.json> -DOUTPUT=<countrycodes.h> -P countrycodes.cmake
file(READ "${INPUT}" _json)
string(JSON _entries GET "${_json}" "3166-1")
string(JSON _count LENGTH "${_entries}")
# The standard has about 250 countries: a list far shorter is no list of them.
if(_count LESS 200)
  message(FATAL_ERROR "${INPUT} lists only ${_count} countries")
endif()
math(EXPR _last "${_count} - 1")
set(_pairs "")
foreach(_index RANGE ${_last})
  string(JSON _alpha2 GET "${_entries}" ${_index} "alpha_2")
  string(JSON _alpha3 GET "${_entries}" ${_index} "alpha_3")
  if(NOT _alpha2 MATCHES "^[A-Z][A-Z]$" OR NOT _alpha3 MATCHES "^[A-Z][A-Z][A-Z]$")
    message(FATAL_ERROR "${INPUT}: entry ${_index} has the codes '${_alpha2}' and '${_alpha3}'")
  endif()
  list(APPEND _pairs "${_alpha2}${_alpha3}")
endforeach()
# Sorted by the alpha-2 code, for a binary search.
list(SORT _pairs)
set(_rows "")
foreach(_pair IN LISTS _pairs)
  string(SUBSTRING "${_pair}" 0 2 _alpha2)
  string(SUBSTRING "${_pair}" 2 3 _alpha3)
  string(APPEND _rows "    { \"${_alpha2}\", \"${_alpha3}\" },\n")
endforeach()
file(WRITE "${OUTPUT}.new"
  "// Made at build time from ${INPUT} (Debian's iso-codes).\n"
  "#pragma once\n\n"
  "namespace countrycodes {\n\n"
  "struct Pair {\n    char alpha2[3];\n    char alpha3[4];\n};\n\n"
  "// Sorted by alpha2.\n"
  "inline constexpr Pair pairs[] = {\n${_rows}};\n\n"
  "} // namespace countrycodes\n")
file(RENAME "${OUTPUT}.new" "${OUTPUT}")
