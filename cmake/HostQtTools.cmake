# When cross-compiling, Qt's CMake package would point Qt5::moc, uic and rcc at
# the target's binaries. Qt only defines those targets when they do not exist
# yet, so defining them first makes it use the host's tools (same Qt version).
if(NOT KAVREL_HOST_QT_BINDIR)
  set(KAVREL_HOST_QT_BINDIR /usr/lib/qt5/bin)
endif()
foreach(tool IN ITEMS qmake moc uic rcc)
  if(NOT TARGET Qt5::${tool})
    if(NOT EXISTS ${KAVREL_HOST_QT_BINDIR}/${tool})
      message(FATAL_ERROR "The host's Qt tool ${KAVREL_HOST_QT_BINDIR}/${tool} is missing (qtbase5-dev-tools)")
    endif()
    add_executable(Qt5::${tool} IMPORTED)
    set_target_properties(Qt5::${tool} PROPERTIES IMPORTED_LOCATION ${KAVREL_HOST_QT_BINDIR}/${tool})
  endif()
endforeach()
