# The Windows programs as one zip for the technician's PC: VX40_AppLoader.exe,
# vx40.exe, the README, the licence and vx40's manual as text. Both programs
# are linked statically and need no DLLs beyond the system's own. Made by
# `cpack -G ZIP` in the mingw build folder (scripts/package).
install(TARGETS VX40_AppLoader vx40 RUNTIME DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)

# The manual is made by help2man from a program it can run, so it comes from
# the native build (build/native/package/man/vx40.txt); scripts/package
# builds that first and passes it here.
set(VX40_MANUAL_TEXT "" CACHE FILEPATH
    "vx40's manual as text, made by the native build, for the zip")
if(VX40_MANUAL_TEXT)
    install(FILES ${VX40_MANUAL_TEXT} DESTINATION . RENAME vx40-manual.txt)
else()
    install(CODE "message(FATAL_ERROR \"The zip needs vx40's manual as text: run scripts/package, \"
                  \"or configure with -DVX40_MANUAL_TEXT=<native build>/package/man/vx40.txt\")")
endif()

set(CPACK_PACKAGE_NAME vx40-loader)
set(CPACK_PACKAGE_VENDOR "VX40 loader team")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Velmo 2.0 Application Loader")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME vx40-loader-${PROJECT_VERSION}-win64)
set(CPACK_GENERATOR ZIP)
set(CPACK_STRIP_FILES ON)
include(CPack)
