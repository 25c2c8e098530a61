# What `cmake --install` (and so the Debian packages) put where, under
# CMAKE_INSTALL_PREFIX (/usr for the packages).
include(GNUInstallDirs)

install(TARGETS kestrel kestrel-service RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Man pages: hand-written roff, installed as they are (the packaging
# compresses them).
install(FILES docs/man/kestrel.1 docs/man/kestrel-service.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
