# What `cmake --install` (and so the Debian packages) put where, under
# CMAKE_INSTALL_PREFIX (/usr for the packages).
include(GNUInstallDirs)

install(TARGETS kestrel kestrel-service RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
