# Run by cpack once it has built the Debian package (CPACK_POST_BUILD_SCRIPTS).
#
# CPack gives a package holding a shared library anywhere below /usr/lib a
# postinst and a postrm that run ldconfig, and has no switch to leave them
# out. This package's libraries are private (/usr/lib/vemo: the stand-in
# libtandrel.so and vemoctl's grab module, which the programs load by path
# and which the loader's cache must never list), so the calls have nothing
# to do, and Debian asks packages not to call ldconfig from maintainer
# scripts at all. The package has no maintainer scripts of its own: it is
# rebuilt with dpkg-deb without those two, everything else as CPack made it.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.deb$")
    continue()
  endif()
  set(tree "${package}.contents")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb --raw-extract "${package}" "${tree}"
                  RESULT_VARIABLE status ERROR_VARIABLE error)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-deb could not unpack ${package}: ${error}")
  endif()
  foreach(script postinst postrm)
    if(EXISTS "${tree}/DEBIAN/${script}")
      # Only CPack's own script goes ("if [ "$1" = "configure" ]; then
      # ldconfig fi"): one that does more was put there on purpose.
      file(STRINGS "${tree}/DEBIAN/${script}" lines)
      list(FILTER lines EXCLUDE REGEX "^[ \t]*(#.*|set -e|ldconfig|fi|if \\[ \"\\$1\" = \"[a-z]+\" \\]; then)?$")
      if(lines)
        message(FATAL_ERROR "${script} in ${package} does more than run ldconfig: ${lines}")
      endif()
      file(REMOVE "${tree}/DEBIAN/${script}")
    endif()
  endforeach()
  execute_process(COMMAND dpkg-deb --root-owner-group --build "${tree}" "${package}"
                  RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE error)
  file(REMOVE_RECURSE "${tree}")
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-deb could not build ${package} again: ${error}")
  endif()
endforeach()
