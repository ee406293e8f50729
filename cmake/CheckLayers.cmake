# Checks the #include lines of src/ against the layer order, bottom first:
#   platform < support < core < binding < engine < api
# A file may include its own layer and the layers below it, never one above:
# every file compiles with one include root (src/), so an upward include would
# otherwise compile, and a declaration-only use would never reach the linker.
#
# Inside the engine, engine/formats holds the pure parsers and builders
# (certificate names, the dump report, the transfer record, the remote key
# name): it may include nothing else of the engine, so they stay testable and
# fuzzable without an engine.
#
# Run as a script: cmake -DSOURCE_DIR=<src> -DSTAMP=<file> -P CheckLayers.cmake
# It fails (and the build with it) naming every upward include; on success it
# touches STAMP.
set(layers platform support core binding engine api)

set(violations "")
foreach(layer IN LISTS layers)
  list(FIND layers ${layer} rank)
  file(GLOB_RECURSE files "${SOURCE_DIR}/${layer}/*.cpp" "${SOURCE_DIR}/${layer}/*.h")
  foreach(file IN LISTS files)
    file(STRINGS "${file}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"[a-z_0-9]+/")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([a-z_0-9]+)/.*" "\\1" target "${line}")
      list(FIND layers ${target} targetRank)
      if(targetRank GREATER rank)
        file(RELATIVE_PATH shown "${SOURCE_DIR}" "${file}")
        string(APPEND violations "  ${shown} (${layer}) includes ${target}: ${line}\n")
      endif()
    endforeach()
  endforeach()
endforeach()

file(GLOB_RECURSE formatFiles "${SOURCE_DIR}/engine/formats/*.cpp" "${SOURCE_DIR}/engine/formats/*.h")
foreach(file IN LISTS formatFiles)
  file(STRINGS "${file}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"engine/")
  foreach(line IN LISTS lines)
    if(NOT line MATCHES "\"engine/formats/")
      file(RELATIVE_PATH shown "${SOURCE_DIR}" "${file}")
      string(APPEND violations "  ${shown} (engine/formats) includes the engine: ${line}\n")
    endif()
  endforeach()
endforeach()

if(violations)
  message(FATAL_ERROR "Includes against the layer order (${layers}):\n${violations}")
endif()
file(TOUCH "${STAMP}")
