# cmake -DKEY=<base64> -P check_update_key.cmake: runs the configure-time
# check on one key and prints its coordinates.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/VxUpdateKeys.cmake)
vx_update_key_coordinates("${KEY}" 1 KEY _x _y)
message("x=${_x} y=${_y}")
