# The export names of the filters, read from the one list in
# filters/filter_list.h (a line a filter, starting with "TOBBLE_FILTER(").
file(READ ${CMAKE_SOURCE_DIR}/filters/filter_list.h tobble_filter_list)
string(REGEX MATCHALL "\nTOBBLE_FILTER\\([A-Za-z0-9_]+" tobble_filter_heads "${tobble_filter_list}")
set(TOBBLE_FILTER_NAMES "")
foreach(head IN LISTS tobble_filter_heads)
  string(REGEX REPLACE ".*\\(" "" name "${head}")
  list(APPEND TOBBLE_FILTER_NAMES ${name})
endforeach()
list(LENGTH TOBBLE_FILTER_NAMES tobble_filter_count)
if(tobble_filter_count EQUAL 0)
  message(FATAL_ERROR "no filters found in filters/filter_list.h")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/filters/filter_list.h)
