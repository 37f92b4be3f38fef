# Update signing keys, checked and compiled in at configure time, in plain
# CMake so that no other tool is needed on any build machine.
#
# A key is the standard, padded base64 of the DER SubjectPublicKeyInfo of an
# ECDSA P-256 key, as `openssl pkey -pubin -outform DER | base64 -w0` prints.
# DER has one encoding of such a key: 91 bytes, a fixed 27-byte prefix
# (id-ecPublicKey, prime256v1, an uncompressed point) and the coordinates X
# and Y, 32 bytes each.

set(_VX_P256_SPKI_PREFIX "3059301306072a8648ce3d020106082a8648ce3d03010703420004")

# _vx_base64_to_hex(<text> <hex-out> <error-out>): strict base64 (standard
# alphabet, padded, canonical final bits) to lowercase hex. <error-out> is
# empty on success.
function(_vx_base64_to_hex text hex_out error_out)
  set(${hex_out} "" PARENT_SCOPE)
  string(LENGTH "${text}" _length)
  math(EXPR _rest "${_length} % 4")
  if(_length EQUAL 0 OR NOT _rest EQUAL 0 OR NOT text MATCHES "^[A-Za-z0-9+/]*(=?=?)$")
    set(${error_out} "is not base64 (standard alphabet, padded with '=')" PARENT_SCOPE)
    return()
  endif()
  string(LENGTH "${CMAKE_MATCH_1}" _padding)
  math(EXPR _last "${_length} - ${_padding} - 1")
  set(_alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
  set(_digits "0123456789abcdef")
  set(_hex "")
  set(_bits 0)
  set(_count 0)
  foreach(_i RANGE 0 ${_last})
    string(SUBSTRING "${text}" ${_i} 1 _char)
    string(FIND "${_alphabet}" "${_char}" _value)
    math(EXPR _bits "(${_bits} << 6) | ${_value}")
    math(EXPR _count "${_count} + 6")
    if(_count GREATER_EQUAL 8)
      math(EXPR _count "${_count} - 8")
      math(EXPR _high "(${_bits} >> (${_count} + 4)) & 15")
      math(EXPR _low "(${_bits} >> ${_count}) & 15")
      math(EXPR _bits "${_bits} & ((1 << ${_count}) - 1)")
      string(SUBSTRING "${_digits}" ${_high} 1 _h)
      string(SUBSTRING "${_digits}" ${_low} 1 _l)
      string(APPEND _hex "${_h}${_l}")
    endif()
  endforeach()
  if(NOT _bits EQUAL 0)
    set(${error_out} "is not canonical base64 (the bits after the last byte are not zero)" PARENT_SCOPE)
    return()
  endif()
  set(${hex_out} "${_hex}" PARENT_SCOPE)
  set(${error_out} "" PARENT_SCOPE)
endfunction()

# _vx_hex_bytes(<hex> <out>): "0a1b" -> "0x0a, 0x1b" for a C++ initializer.
function(_vx_hex_bytes hex out)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " _list "${hex}")
  string(REGEX REPLACE ", $" "" _list "${_list}")
  set(${out} "${_list}" PARENT_SCOPE)
endfunction()

# vx_update_key_coordinates(<key> <number> <origin> <x-out> <y-out>)
# Checks one key and gives its coordinates as 64 hex digits each; a malformed
# key stops CMake with a message that names <origin> and the key's <number>.
function(vx_update_key_coordinates key number origin x_out y_out)
  set(_how "expected the base64 of the DER SubjectPublicKeyInfo of an ECDSA P-256 key, "
           "as `openssl pkey -pubin -outform DER | base64 -w0` prints")
  string(JOIN "" _how ${_how})
  _vx_base64_to_hex("${key}" _hex _error)
  if(NOT _error STREQUAL "")
    message(FATAL_ERROR "${origin}: key ${number} ('${key}') ${_error}; ${_how}")
  endif()
  string(LENGTH "${_hex}" _hex_length)
  math(EXPR _bytes "${_hex_length} / 2")
  if(NOT _bytes EQUAL 91)
    message(FATAL_ERROR "${origin}: key ${number} ('${key}') decodes to ${_bytes} bytes, "
                        "not the 91 of a P-256 public key; ${_how}")
  endif()
  string(SUBSTRING "${_hex}" 0 54 _prefix)
  if(NOT _prefix STREQUAL _VX_P256_SPKI_PREFIX)
    message(FATAL_ERROR "${origin}: key ${number} ('${key}') is not an ECDSA P-256 public key "
                        "with an uncompressed point (another algorithm, curve or encoding); ${_how}")
  endif()
  string(SUBSTRING "${_hex}" 54 64 _x)
  string(SUBSTRING "${_hex}" 118 64 _y)
  set(${x_out} "${_x}" PARENT_SCOPE)
  set(${y_out} "${_y}" PARENT_SCOPE)
endfunction()

# vx_update_key_set(<target> KEYS <key>... [ORIGIN <name>])
# Checks the keys and makes <target>, an OBJECT library whose one source
# defines vx::update_keys() (update/update_keys.h) with exactly these keys.
# Each program links one key set directly, so one build tree can hold
# programs with different keys; no keys means unsigned mode. Empty list
# items and white space around a key are ignored. A malformed key stops the
# configure step with a message naming ORIGIN (default: the target). Sets
# <target>_COUNT in the caller's scope to the number of keys.
function(vx_update_key_set target)
  cmake_parse_arguments(K "" "ORIGIN" "KEYS" ${ARGN})
  if(NOT K_ORIGIN)
    set(K_ORIGIN "${target}")
  endif()
  set(_entries "")
  set(_count 0)
  foreach(_raw IN LISTS K_KEYS)
    string(STRIP "${_raw}" _key)
    if(_key STREQUAL "")
      continue()
    endif()
    math(EXPR _count "${_count} + 1")
    vx_update_key_coordinates("${_key}" ${_count} "${K_ORIGIN}" _x _y)
    _vx_hex_bytes("${_x}" _x)
    _vx_hex_bytes("${_y}" _y)
    string(APPEND _entries "    {\"${_key}\", EcP256PublicKey{{{${_x}}},\n"
                           "                                  {{${_y}}}}},\n")
  endforeach()

  if(_count EQUAL 0)
    set(_table "const UpdateKeySet kSet{nullptr, 0};")
  else()
    set(_table "const UpdateKey kKeys[] = {\n${_entries}};\nconst UpdateKeySet kSet{kKeys, ${_count}};")
  endif()
  set(_source "${CMAKE_CURRENT_BINARY_DIR}/${target}.cpp")
  file(WRITE "${_source}.new"
       "// Generated by CMake from ${K_ORIGIN}; do not edit.\n"
       "#include \"update/update_keys.h\"\n\n"
       "namespace vx {\nnamespace {\n\n${_table}\n\n}  // namespace\n\n"
       "const UpdateKeySet& update_keys() { return kSet; }\n\n}  // namespace vx\n")
  # Rewritten only when the keys change, so a re-configure rebuilds nothing.
  configure_file("${_source}.new" "${_source}" COPYONLY)
  add_library(${target} OBJECT "${_source}")
  target_link_libraries(${target} PUBLIC vx_config)
  vx_warnings(${target})
  set(${target}_COUNT ${_count} PARENT_SCOPE)
endfunction()

# Warns when a release build of the program trusts whatever its network path
# hands it: no signing keys and no certificate checks, with an update server
# that is not on this machine.
function(vx_warn_if_unprotected key_count)
  if(NOT WIN32 OR NOT CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$"
     OR VELMORANDIX_VERIFY_CERTIFICATES OR key_count GREATER 0)
    return()
  endif()
  set(_loopback "^https://(127\\.[0-9.]+|localhost|\\[::1\\])(:[0-9]+)?$")
  if(VELMORANDIX_PRIMARY_URL MATCHES "${_loopback}" AND VELMORANDIX_FALLBACK_URL MATCHES "${_loopback}")
    return()
  endif()
  message(WARNING
    "This release build has no update signing keys (VELMORANDIX_UPDATE_KEYS) and does not check "
    "the update servers' certificates (VELMORANDIX_VERIFY_CERTIFICATES): it trusts anyone on the "
    "network path between a player and ${VELMORANDIX_PRIMARY_URL} to hand it a launcher and a Java "
    "runtime to run. Set VELMORANDIX_UPDATE_KEYS (see velmorandix-manifest keygen).")
endfunction()
