# velmora_public_key_header(OUTPUT PEM NAME): makes, while configuring, the C
# header OUTPUT holding the raw P-256 public key of the PEM file PEM as NAME
# (cmake/public_key_header.py), and sets NAME_ID (the key id) and
# NAME_IS_TEST_KEY (1 for the repository's test key, by its point, however the
# PEM file wraps it) in the caller's scope. A key that OpenSSL's check refuses
# stops the configure; a changed PEM file configures again.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(VELMORA_TEST_PUBLIC_KEY ${CMAKE_CURRENT_LIST_DIR}/../keys/test-release-key.pub.pem)
cmake_path(NORMAL_PATH VELMORA_TEST_PUBLIC_KEY)

function(velmora_public_key_header output pem name)
  set(script ${PROJECT_SOURCE_DIR}/cmake/public_key_header.py)
  execute_process(
    COMMAND ${Python3_EXECUTABLE} ${script} --pem ${pem} --test-pem ${VELMORA_TEST_PUBLIC_KEY}
            --name ${name} --out ${output}
    RESULT_VARIABLE failed OUTPUT_VARIABLE said ERROR_VARIABLE error
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_STRIP_TRAILING_WHITESPACE)
  if(failed)
    message(FATAL_ERROR "${error}")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${pem} ${script} ${VELMORA_TEST_PUBLIC_KEY})
  string(REPLACE " " ";" said "${said}")
  list(GET said 0 id)
  list(GET said 1 kind)
  set(${name}_ID ${id} PARENT_SCOPE)
  if(kind STREQUAL "test")
    set(${name}_IS_TEST_KEY 1 PARENT_SCOPE)
  else()
    set(${name}_IS_TEST_KEY 0 PARENT_SCOPE)
  endif()
endfunction()
