# Installing Velmora like a Linux program, and packaging it as a .deb.
#
#   cmake --install <build> --prefix <prefix>
#     <prefix>/bin/velmora, <prefix>/bin/velmora-cli     the programs
#     <prefix>/lib/velmora/lame_enc.so                   the encoder module (its own rule, src/lame_enc)
#     <prefix>/lib/velmora/velmora_ffmpeg.so             the FFmpeg module (its own rule, src/engine)
#     <prefix>/share/doc/velmora/Help.html               the user guide (F1), with its screens/
#     <prefix>/share/applications/velmora.desktop        the desktop entry
#     <prefix>/share/icons/hicolor/scalable/apps/velmora.svg
#     <prefix>/share/man/man1/velmora.1.gz, velmora-cli.1.gz   the manual pages
#     <prefix>/share/metainfo/com.example.Velmora.metainfo.xml the AppStream metadata
#     <prefix>/share/doc/velmora/copyright, changelog.gz      as Debian policy asks
#   cpack -G DEB   (in the build folder) builds velmora_<version>_<arch>.deb
#
# The engine loads lame_enc.so and velmora_ffmpeg.so from the executable's folder, else from
# <prefix>/lib/velmora;
# Help Content opens Help.html beside the executable, else <prefix>/share/doc/velmora.
include(GNUInstallDirs)

# Installing and packaging take what is built and do not build the whole tree (its tests and
# benchmarks) first: build the programs, then install or run cpack.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(VELMORA_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/velmora)

if(TARGET velmora)
  install(TARGETS velmora RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The help document beside the executables of the build tree too, where F1 finds it.
configure_file(${CMAKE_SOURCE_DIR}/resources/Help.html ${CMAKE_BINARY_DIR}/bin/Help.html COPYONLY)
install(FILES ${CMAKE_SOURCE_DIR}/resources/Help.html DESTINATION ${VELMORA_DOC_DIR})

# The pictures of the guide are rendered, not kept in the repository: when the screenshot
# tool is built, the install renders them into the guide's screens/ folder. Without a picture
# the guide still reads (each one has a text alternative).
if(TARGET velmora-screens)
  install(CODE "
    set(screens_dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${VELMORA_DOC_DIR}/screens\")
    message(STATUS \"Rendering the guide's pictures into \${screens_dir}\")
    execute_process(COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
                            $<TARGET_FILE:velmora-screens> \${screens_dir}
                    RESULT_VARIABLE screens_result OUTPUT_QUIET ERROR_QUIET TIMEOUT 300)
    if(NOT screens_result EQUAL 0)
      message(WARNING \"velmora-screens did not render every picture (\${screens_result})\")
    endif()
  ")
endif()

install(FILES ${CMAKE_SOURCE_DIR}/resources/velmora.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/resources/com.example.Velmora.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${CMAKE_SOURCE_DIR}/resources/debian/copyright DESTINATION ${VELMORA_DOC_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/resources/debian/velmora.lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME velmora)
# Where bash-completion loads completions on demand, by the command's name.
install(FILES ${CMAKE_SOURCE_DIR}/resources/completion/velmora-cli
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${CMAKE_SOURCE_DIR}/resources/icons/velmora.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# Manual pages go compressed, reproducibly (no name or time stamp in the gzip header).
# The changelog goes the same way.
find_program(GZIP_PROGRAM gzip REQUIRED)
set(gz_outputs)
foreach(entry velmora.1:man1 velmora-cli.1:man1 debian/changelog:doc)
  string(REPLACE ":" ";" parts ${entry})
  list(GET parts 0 name)
  list(GET parts 1 kind)
  get_filename_component(base ${name} NAME)
  set(gz ${CMAKE_BINARY_DIR}/gz/${base}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/gz
    COMMAND ${GZIP_PROGRAM} -9 -n -c ${CMAKE_SOURCE_DIR}/resources/${name} > ${gz}
    DEPENDS ${CMAKE_SOURCE_DIR}/resources/${name}
    VERBATIM)
  list(APPEND gz_outputs ${gz})
  if(kind STREQUAL "man1")
    install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  else()
    install(FILES ${gz} DESTINATION ${VELMORA_DOC_DIR})
  endif()
endforeach()
add_custom_target(velmora_man ALL DEPENDS ${gz_outputs})

# ---- Debian package
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VENDOR "Orvatek Corporation")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Join MP3 files into one MP3 file")
# Description lines stay within 80 columns.
set(CPACK_PACKAGE_DESCRIPTION
    "Velmora gathers MP3 files in a list, shows their audio properties and tags,\n\
and joins them gaplessly, in list order, into one constant-bit-rate MP3 with\n\
tags, cover and chapters. A desktop program (velmora) and a command-line\n\
front end (velmora-cli).")
set(CPACK_PACKAGE_CONTACT "Orvatek Corporation <support@example.com>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Orvatek Corporation <support@example.com>")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.example.com/velmora")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The dependencies are the run-time libraries the programs and the module link, as
# dpkg-shlibdeps finds them; the icon theme and xdg-open are what a desktop adds.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads the SVG image plugin at run time, so dpkg-shlibdeps cannot see it: without it the
# toolbar and the window icon (SVG) stay blank, as an install on a clean system showed.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6 (>= 6.4)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, hicolor-icon-theme")
# Debug symbols stay out of the package.
set(CPACK_STRIP_FILES ON)
# The modules are private (lib/velmora, loaded with dlopen): no ldconfig call. CPack
# would add one for any shared object under lib/; maintainer scripts of our own stop that.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/resources/debian/postinst
                                       ${CMAKE_SOURCE_DIR}/resources/debian/postrm)
include(CPack)

# ---- The installed tree and the package, tested from a temporary prefix.
if(VELMORA_BUILD_TESTS AND TARGET velmora AND TARGET velmora-cli AND TARGET lame_enc)
  add_test(NAME app_test_install
           COMMAND ${CMAKE_SOURCE_DIR}/tests/app/test_install.sh ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
  set_tests_properties(app_test_install PROPERTIES LABELS app TIMEOUT 600 ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endif()
