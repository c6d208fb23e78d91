# Turns the seven role public keys (<role>.der, DER SubjectPublicKeyInfo)
# into constant data of the daemon.
#
# Included from a CMakeLists.txt it defines mif_embed_auth_keys(); run as a
# script (cmake -P) it writes the source file, so that the bytes always come
# from the key files at build time and are never pasted by hand.
#
# The generated file is included by the role table's source and defines one
# array per role, named after the file: service.der becomes
#   static const uint8_t authKey_service[294] = {...};
# and talven-developer.der authKey_talven_developer.

set(MIF_AUTH_KEY_ROLES
    service testlab developer talven-developer holmir-production
    kestravel-production dunra-production)

if(CMAKE_SCRIPT_MODE_FILE)
  # Script mode: -DKEY_DIR=... -DOUTPUT=...
  if(NOT KEY_DIR OR NOT OUTPUT)
    message(FATAL_ERROR "EmbedAuthKeys: KEY_DIR and OUTPUT are required")
  endif()
  set(body "// Generated from ${KEY_DIR} by cmake/EmbedAuthKeys.cmake; do not edit.\n\n")
  foreach(role IN LISTS MIF_AUTH_KEY_ROLES)
    set(file "${KEY_DIR}/${role}.der")
    if(NOT EXISTS "${file}")
      message(FATAL_ERROR "EmbedAuthKeys: ${file} is missing")
    endif()
    file(READ "${file}" hex HEX)
    string(LENGTH "${hex}" hexLength)
    math(EXPR size "${hexLength} / 2")
    # A SubjectPublicKeyInfo is a DER SEQUENCE; anything else (a PEM file
    # renamed, an empty file) would only fail later, at a client's login.
    if(size LESS 2 OR NOT hex MATCHES "^30")
      message(FATAL_ERROR "EmbedAuthKeys: ${file} is not a DER public key")
    endif()
    # Sixteen bytes a line.
    set(bytes "")
    set(pos 0)
    while(pos LESS hexLength)
      string(SUBSTRING "${hex}" ${pos} 32 line)
      string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " line "${line}")
      string(STRIP "${line}" line)
      string(APPEND bytes "    ${line}\n")
      math(EXPR pos "${pos} + 32")
    endwhile()
    string(REPLACE "-" "_" name "authKey_${role}")
    string(APPEND body "// ${role}.der, ${size} bytes\n")
    string(APPEND body "static const uint8_t ${name}[${size}] = {\n${bytes}};\n\n")
  endforeach()
  file(WRITE "${OUTPUT}" "${body}")
  return()
endif()

set(MIF_EMBED_AUTH_KEYS_SCRIPT ${CMAKE_CURRENT_LIST_FILE})

# mif_embed_auth_keys(<var> <key dir>): generates auth_keys.inc in the
# current binary directory and stores its path in <var>; list it among the
# sources of the target that includes it.
function(mif_embed_auth_keys var keyDir)
  set(output ${CMAKE_CURRENT_BINARY_DIR}/auth_keys.inc)
  set(inputs "")
  list(JOIN MIF_AUTH_KEY_ROLES ", " roles)
  foreach(role IN LISTS MIF_AUTH_KEY_ROLES)
    if(NOT EXISTS ${keyDir}/${role}.der)
      message(FATAL_ERROR "MIF_AUTH_KEY_DIR=${keyDir} has no ${role}.der "
                          "(the seven roles: ${roles})")
    endif()
    list(APPEND inputs ${keyDir}/${role}.der)
  endforeach()
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DKEY_DIR=${keyDir} -DOUTPUT=${output} -P ${MIF_EMBED_AUTH_KEYS_SCRIPT}
    DEPENDS ${inputs} ${MIF_EMBED_AUTH_KEYS_SCRIPT}
    COMMENT "Embedding the role public keys from ${keyDir}"
    VERBATIM)
  set(${var} ${output} PARENT_SCOPE)
endfunction()

# mif_auth_keys_include_development(<var> <key dir> <development dir>): sets
# <var> to TRUE when any role key in <key dir> is byte for byte one of the
# development set's.
function(mif_auth_keys_include_development var keyDir devDir)
  set(found FALSE)
  foreach(role IN LISTS MIF_AUTH_KEY_ROLES)
    if(EXISTS ${keyDir}/${role}.der AND EXISTS ${devDir}/${role}.der)
      file(SHA256 ${keyDir}/${role}.der used)
      file(SHA256 ${devDir}/${role}.der development)
      if(used STREQUAL development)
        set(found TRUE)
      endif()
    endif()
  endforeach()
  set(${var} ${found} PARENT_SCOPE)
endfunction()
