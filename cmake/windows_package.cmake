# The Windows programs as one zip for the technician's PC: VX40_AppLoader.exe,
# vx40.exe and the README. Both programs are linked statically and need no
# DLLs beyond the system's own. Made by `cpack -G ZIP` in the mingw build
# folder.
install(TARGETS VX40_AppLoader vx40 RUNTIME DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)

set(CPACK_PACKAGE_NAME vx40-loader)
set(CPACK_PACKAGE_VENDOR "VX40 loader team")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Velmo 2.0 Application Loader")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME vx40-loader-${PROJECT_VERSION}-win64)
set(CPACK_GENERATOR ZIP)
set(CPACK_STRIP_FILES ON)
include(CPack)
