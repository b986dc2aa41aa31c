include("${CMAKE_CURRENT_LIST_DIR}/../../../host-headers.cmake")
zelk_host_headers(civetweb::civetweb civetweb.h)
set(civetweb_FOUND TRUE)
