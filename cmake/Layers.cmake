# Every folder of the library is a layer with a CMake library of its own.
# A layer's headers are reachable only through an include root that holds a
# link to that one folder, and a target gets the root only by linking the
# layer: an include that runs back up (text/ reaching filter/) or sideways
# to a layer not linked fails to compile.
function(qelmor_layer_headers target scope folder)
  set(root ${PROJECT_BINARY_DIR}/layers/${folder})
  if(NOT EXISTS ${root}/${folder})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
  endif()
  target_include_directories(${target} ${scope} ${root})
endfunction()
