# Publisher certificates pinned at build time. A pinned installer starts only
# a setup program whose Authenticode signer chains, below its root, through a
# certificate with one of these public keys; nothing about them is read at
# run time.
#
# korva_publisher_pin_entries(<out_var> <pem file>...) checks every file and
# sets <out_var> to the C++ initialisers of their PublisherPin records
# (transfer/publisher_signature.h): the SHA-256 of each certificate's DER
# SubjectPublicKeyInfo. A file that is missing, is not one PEM certificate,
# or is self-signed (a root: a pin there would trust whatever it issues, and
# the check counts only certificates below the root) fails the configure with
# a message that names it. Relative paths are taken from the source tree.

function(korva_publisher_cert_fail file why)
  message(FATAL_ERROR "KORVA_PUBLISHER_CERTS: ${file} ${why}; no installer is built.")
endfunction()

# Runs openssl on the certificate; fails the configure naming the file when
# openssl cannot read it.
function(korva_publisher_cert_openssl file path out_var)
  execute_process(COMMAND "${KORVA_OPENSSL}" x509 -inform PEM -in "${path}" -noout ${ARGN}
    RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_QUIET)
  if(failed)
    korva_publisher_cert_fail("${file}" "is not a readable PEM certificate")
  endif()
  set(${out_var} "${output}" PARENT_SCOPE)
endfunction()

# One PEM certificate and nothing that looks like a second: openssl reads only
# the first, and a chain file would pin its leaf alone without a word.
function(korva_publisher_cert_check_form file path)
  file(READ "${path}" pem LIMIT 65536)
  string(REGEX MATCHALL "-----BEGIN CERTIFICATE-----" begins "${pem}")
  list(LENGTH begins count)
  if(count EQUAL 0)
    korva_publisher_cert_fail("${file}" "is not a PEM certificate (no -----BEGIN CERTIFICATE----- line)")
  elseif(count GREATER 1)
    korva_publisher_cert_fail("${file}" "holds more than one certificate; give each its own file")
  endif()
  korva_publisher_cert_openssl("${file}" "${path}" names -subject_hash -issuer_hash)
  string(REGEX MATCHALL "[0-9a-f]+" hashes "${names}")
  list(LENGTH hashes count)
  if(NOT count EQUAL 2)
    korva_publisher_cert_fail("${file}" "is not a readable PEM certificate")
  endif()
  list(GET hashes 0 subject)
  list(GET hashes 1 issuer)
  if(subject STREQUAL issuer)
    korva_publisher_cert_fail("${file}" "is self-signed (a root); pin the publisher's own certificate or its intermediate CA")
  endif()
endfunction()

# The SHA-256 of the certificate's DER SubjectPublicKeyInfo, as hex.
function(korva_publisher_cert_pin file path out_hex)
  korva_publisher_cert_openssl("${file}" "${path}" public_key -pubkey)
  string(SHA256 name "${path}")
  set(folder "${CMAKE_BINARY_DIR}/publisher-certs")
  file(MAKE_DIRECTORY "${folder}")
  file(WRITE "${folder}/${name}.pub.pem" "${public_key}")
  file(REMOVE "${folder}/${name}.der")
  execute_process(COMMAND "${KORVA_OPENSSL}" pkey -pubin -inform PEM -in "${folder}/${name}.pub.pem"
                          -outform DER -out "${folder}/${name}.der"
    RESULT_VARIABLE failed OUTPUT_QUIET ERROR_QUIET)
  if(failed OR NOT EXISTS "${folder}/${name}.der")
    korva_publisher_cert_fail("${file}" "has a public key that openssl cannot write")
  endif()
  file(SHA256 "${folder}/${name}.der" digest)
  set(${out_hex} "${digest}" PARENT_SCOPE)
endfunction()

function(korva_publisher_pin_entries out_var)
  if(ARGN)
    find_program(KORVA_OPENSSL openssl)
    if(NOT KORVA_OPENSSL)
      message(FATAL_ERROR "KORVA_PUBLISHER_CERTS needs the openssl command to read ${ARGN}")
    endif()
  endif()
  set(entries "")
  foreach(file IN LISTS ARGN)
    get_filename_component(path "${file}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
    if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
      korva_publisher_cert_fail("${file}" "does not exist")
    endif()
    korva_publisher_cert_check_form("${file}" "${path}")
    korva_publisher_cert_pin("${file}" "${path}" digest)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${digest}")
    string(APPEND entries "    {{${bytes}}}, // ${file}\n")
  endforeach()
  set(${out_var} "${entries}" PARENT_SCOPE)
endfunction()

# korva_publisher_pins_source(<out_var> <target> <pem file>...): the source
# that gives <target> its pins; without files, the unpinned one.
function(korva_publisher_pins_source out_var target)
  if(NOT ARGN)
    set(${out_var} "${CMAKE_SOURCE_DIR}/transfer/unpinned_publisher.cpp" PARENT_SCOPE)
    return()
  endif()
  korva_publisher_pin_entries(KORVA_PIN_ENTRIES ${ARGN})
  string(REPLACE ";" "\n// " KORVA_CERT_FILES_COMMENT "// ${ARGN}")
  set(source "${CMAKE_CURRENT_BINARY_DIR}/${target}-publisher-pins.cpp")
  configure_file("${CMAKE_SOURCE_DIR}/cmake/pinned_publisher.cpp.in" "${source}" @ONLY)
  set(${out_var} "${source}" PARENT_SCOPE)
endfunction()
