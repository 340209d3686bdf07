# velmora_public_key_header(OUTPUT PEM NAME): makes the C header OUTPUT holding
# the raw P-256 public key of the PEM file PEM as NAME (cmake/public_key_header.py).
# List OUTPUT among a target's sources so it is made before they compile.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(VELMORA_TEST_PUBLIC_KEY ${CMAKE_CURRENT_LIST_DIR}/../keys/test-release-key.pub.pem)
cmake_path(NORMAL_PATH VELMORA_TEST_PUBLIC_KEY)

function(velmora_public_key_header output pem name)
  set(script ${PROJECT_SOURCE_DIR}/cmake/public_key_header.py)
  add_custom_command(OUTPUT ${output}
    COMMAND Python3::Interpreter ${script} --pem ${pem} --test-pem ${VELMORA_TEST_PUBLIC_KEY}
            --name ${name} --out ${output}
    DEPENDS ${script} ${pem} ${VELMORA_TEST_PUBLIC_KEY}
    COMMENT "Embedding the public key ${pem}"
    VERBATIM)
endfunction()
