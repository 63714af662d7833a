# Headers are included by folder: "automation/variant.h", "recordkit/property_set.h".
#
# No target has the top of the tree on its include path. Each library target has an
# include folder of its own, ${CMAKE_BINARY_DIR}/include/<target>, that holds links to
# the headers the target offers, under their folder's name, and that folder goes to the
# target and to whoever links it. So a file sees another folder's headers only when its
# target links that folder's target, and an include that crosses the layering fails to
# compile instead of building by accident.
#
# ledgerwick_headers(target [FOLDER dir] [HEADERS name...] [GENERATED path...])
#   FOLDER     the folder, from the top of the tree, whose headers are offered; by
#              default the current source folder.
#   HEADERS    the headers of that folder to offer; by default every *.h directly in
#              it (a subfolder is a component of its own), looked for again when one
#              is added or removed.
#   GENERATED  headers written into the build tree (capnp_generate_cpp's), offered
#              under the folder's name as well: "automation/variant.capnp.h".
function(ledgerwick_headers target)
  cmake_parse_arguments(H "" "FOLDER" "HEADERS;GENERATED" ${ARGN})
  if(NOT H_FOLDER)
    file(RELATIVE_PATH H_FOLDER ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
  set(source_dir ${PROJECT_SOURCE_DIR}/${H_FOLDER})
  if(NOT H_HEADERS)
    file(GLOB H_HEADERS CONFIGURE_DEPENDS RELATIVE ${source_dir} ${source_dir}/*.h)
  endif()

  set(root ${CMAKE_BINARY_DIR}/include/${target})
  # Built anew at each configure, so that a header removed from the folder is gone.
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root}/${H_FOLDER})
  foreach(header ${H_HEADERS})
    if(NOT EXISTS ${source_dir}/${header})
      message(FATAL_ERROR "ledgerwick_headers(${target}): no ${H_FOLDER}/${header}")
    endif()
    file(CREATE_LINK ${source_dir}/${header} ${root}/${H_FOLDER}/${header} SYMBOLIC)
  endforeach()
  # The generated files need not exist yet: the link waits for them.
  foreach(generated ${H_GENERATED})
    get_filename_component(name ${generated} NAME)
    file(CREATE_LINK ${generated} ${root}/${H_FOLDER}/${name} SYMBOLIC)
  endforeach()

  # Kept for installing the headers (cmake/LedgerwickPackage.cmake).
  set(installed)
  foreach(header ${H_HEADERS})
    list(APPEND installed ${source_dir}/${header})
  endforeach()
  set_target_properties(${target} PROPERTIES LEDGERWICK_HEADER_FOLDER "${H_FOLDER}"
                                             LEDGERWICK_HEADER_FILES "${installed};${H_GENERATED}")

  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE $<BUILD_INTERFACE:${root}>)
  else()
    target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${root}>)
  endif()
endfunction()
