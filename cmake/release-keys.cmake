# Release keys embedded at build time. A keyed installer refuses any manifest
# that no trusted key signed; nothing about the keys is read at run time.
#
# korva_release_key_entries(<out_var> <pem file>...) checks every file and
# sets <out_var> to the C++ initialisers of their ReleaseKey records
# (manifest/manifest_signature.h). Any file that is missing, is not a PEM
# public key, or is not an uncompressed P-256 SubjectPublicKeyInfo fails the
# configure with a message that names it. Relative paths are taken from the
# source tree.

# SubjectPublicKeyInfo DER of every uncompressed named-curve P-256 key, up to
# the 64 bytes of X||Y: SEQUENCE, the id-ecPublicKey and prime256v1 OIDs, and
# a BIT STRING holding 04 || X || Y.
set(KORVA_P256_SPKI_PREFIX "3059301306072a8648ce3d020106082a8648ce3d03010703420004")

function(korva_release_key_fail file why)
  message(FATAL_ERROR "KORVA_RELEASE_KEYS: ${file} ${why}; no installer is built.")
endfunction()

# The key's DER as hex, through the openssl command line (the only PEM reader
# involved; the DER it writes is checked here byte by byte).
function(korva_release_key_der file path out_hex)
  find_program(KORVA_OPENSSL openssl)
  if(NOT KORVA_OPENSSL)
    message(FATAL_ERROR "KORVA_RELEASE_KEYS needs the openssl command to read ${file}")
  endif()
  file(READ "${path}" pem LIMIT 65536)
  if(NOT pem MATCHES "-----BEGIN PUBLIC KEY-----")
    korva_release_key_fail("${file}" "is not a PEM public key (no -----BEGIN PUBLIC KEY----- line)")
  endif()
  string(SHA256 name "${path}")
  set(der "${CMAKE_BINARY_DIR}/release-keys/${name}.der")
  file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/release-keys")
  file(REMOVE "${der}")
  execute_process(COMMAND "${KORVA_OPENSSL}" pkey -pubin -inform PEM -in "${path}" -outform DER -out "${der}"
    RESULT_VARIABLE failed OUTPUT_QUIET ERROR_QUIET)
  if(failed OR NOT EXISTS "${der}")
    korva_release_key_fail("${file}" "is not a readable PEM public key")
  endif()
  file(READ "${der}" hex HEX)
  set(${out_hex} "${hex}" PARENT_SCOPE)
  set(${out_hex}_FILE "${der}" PARENT_SCOPE)
endfunction()

function(korva_release_key_entries out_var)
  set(entries "")
  foreach(file IN LISTS ARGN)
    get_filename_component(path "${file}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
    if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
      korva_release_key_fail("${file}" "does not exist")
    endif()
    korva_release_key_der("${file}" "${path}" der_hex)
    string(LENGTH "${der_hex}" length)
    if(NOT length EQUAL 182 OR NOT der_hex MATCHES "^${KORVA_P256_SPKI_PREFIX}")
      korva_release_key_fail("${file}" "is not an uncompressed ECDSA P-256 public key")
    endif()
    file(SHA256 "${der_hex_FILE}" digest)
    string(SUBSTRING "${digest}" 0 16 key_id)
    string(SUBSTRING "${der_hex}" 54 128 point)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," point "${point}")
    # The key of the key's signature line: kSignatureKeyPrefix and the id.
    string(APPEND entries "    {L\"signature-${key_id}\", {${point}}}, // ${file}\n")
  endforeach()
  set(${out_var} "${entries}" PARENT_SCOPE)
endfunction()

# korva_release_keys_source(<out_var> <target> <pem file>...): the source that
# gives <target> its trusted keys; without files, the unkeyed one.
function(korva_release_keys_source out_var target)
  if(NOT ARGN)
    set(${out_var} "${CMAKE_SOURCE_DIR}/manifest/unkeyed_release.cpp" PARENT_SCOPE)
    return()
  endif()
  korva_release_key_entries(KORVA_KEY_ENTRIES ${ARGN})
  string(REPLACE ";" "\n// " KORVA_KEY_FILES_COMMENT "// ${ARGN}")
  set(source "${CMAKE_CURRENT_BINARY_DIR}/${target}-release-keys.cpp")
  configure_file("${CMAKE_SOURCE_DIR}/cmake/keyed_release.cpp.in" "${source}" @ONLY)
  set(${out_var} "${source}" PARENT_SCOPE)
endfunction()
