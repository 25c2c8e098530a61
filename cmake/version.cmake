# The version and its date, in one place: the newest entry of
# debian/changelog. The program, the packages and the AppStream release all
# take them from there.
#   KESTREL_VERSION_FROM_CHANGELOG  for example 1.0.36.474
#   KESTREL_RELEASE_DATE            its date, YYYY-MM-DD
file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/../debian/changelog" _changelog)
list(GET _changelog 0 _first)
if(NOT _first MATCHES "^kestrel \\(([0-9]+(\\.[0-9]+)*)\\) ")
  message(FATAL_ERROR "debian/changelog must begin with \"kestrel (VERSION) ...\", not: ${_first}")
endif()
set(KESTREL_VERSION_FROM_CHANGELOG "${CMAKE_MATCH_1}")

# The entry's trailer line: " -- Name <address>  Tue, 08 Dec 2026 07:00:00 +0000"
foreach(_line IN LISTS _changelog)
  if(_line MATCHES "^ -- .*  [A-Z][a-z][a-z], ([0-9][0-9]?) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
    set(_day "${CMAKE_MATCH_1}")
    set(_year "${CMAKE_MATCH_3}")
    set(_months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
    list(FIND _months "${CMAKE_MATCH_2}" _month)
    math(EXPR _month "${_month} + 1")
    if(_month LESS 10)
      set(_month "0${_month}")
    endif()
    string(LENGTH "${_day}" _digits)
    if(_digits EQUAL 1)
      set(_day "0${_day}")
    endif()
    set(KESTREL_RELEASE_DATE "${_year}-${_month}-${_day}")
    break()
  endif()
endforeach()
if(NOT KESTREL_RELEASE_DATE)
  message(FATAL_ERROR "debian/changelog: the newest entry has no trailer line with a date")
endif()
