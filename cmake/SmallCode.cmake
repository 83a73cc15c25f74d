# qlmr_small_code(TARGET [EXCEPT SOURCE...]): compiles the sources of TARGET
# for size (-Os) in the optimised builds of the Linux programs, all but the
# EXCEPT sources, which keep the build's own optimisation (the hot loops).
# Call it in the folder that defines TARGET, after all its sources are added.
# The Linux updater links these libraries and must fit below its carrier
# offset; the Windows program has an offset of its own and keeps -O2.
function(qlmr_small_code target)
  cmake_parse_arguments(PARSE_ARGV 1 SMALL "" "" "EXCEPT")
  if(WIN32)
    return()
  endif()
  get_target_property(sources ${target} SOURCES)
  foreach(source IN LISTS sources)
    if(source IN_LIST SMALL_EXCEPT)
      continue()
    endif()
    set_property(SOURCE ${source} APPEND PROPERTY COMPILE_OPTIONS
                 $<$<CONFIG:Release,RelWithDebInfo>:-Os>)
  endforeach()
endfunction()
