# Desktop integration (icons, AppStream metainfo, polkit action), manual pages and the Debian
# package. Included last from the top-level CMakeLists.txt, after the programs' own install rules.
#
#   cmake --build --preset dev --target man-pages   regenerate docs/man from the --help texts
#   (cd build/dev && cpack -G DEB)                  build pictavo_<version>-1_<arch>.deb

# The day the release named in project(... VERSION ...) was made; change both together.
set(PICTAVO_RELEASE_DATE "2026-12-08")
set(PICTAVO_SCREENSHOT_BASE_URL "https://pictavo.example/screenshots" CACHE STRING
    "Web address under which the pictures of docs/screenshots are published (AppStream wants URLs)")

set(pictavo_packaging_dir ${CMAKE_CURRENT_LIST_DIR})

# Manual pages: written by help2man from the programs' --help and --version texts and kept in the
# repository, so that building needs no help2man; tests/packaging checks they are in step.
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/pictavo-cli.1 DESTINATION share/man/man1)
set(pictavo_man_programs $<TARGET_FILE:pictavo-cli>)
if(PICTAVO_BUILD_GUI)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/man/pictavo.1 DESTINATION share/man/man1)
  list(APPEND pictavo_man_programs $<TARGET_FILE:pictavo>)
endif()
add_custom_target(man-pages
  COMMAND ${pictavo_packaging_dir}/make-man-pages.sh ${PROJECT_SOURCE_DIR}/docs/man
          ${pictavo_man_programs}
  DEPENDS ${pictavo_man_programs}
  COMMENT "Regenerating docs/man with help2man"
  VERBATIM)

if(PICTAVO_BUILD_GUI)
  # PNG icons in the sizes desktops look for, drawn from the SVG at build time.
  find_package(Qt6 REQUIRED COMPONENTS Gui Svg)
  add_executable(pictavo-render-icon ${pictavo_packaging_dir}/render_icon.cc)
  target_link_libraries(pictavo-render-icon PRIVATE Qt6::Gui Qt6::Svg)

  set(pictavo_icon_svg ${PROJECT_SOURCE_DIR}/src/app/resources/pictavo.svg)
  set(pictavo_icon_dir ${PROJECT_BINARY_DIR}/packaging/icons)
  set(pictavo_icon_sizes 16 22 24 32 48 64 128 256 512)
  set(pictavo_icon_pngs)
  foreach(size IN LISTS pictavo_icon_sizes)
    list(APPEND pictavo_icon_pngs ${pictavo_icon_dir}/${size}x${size}/apps/pictavo.png)
  endforeach()
  add_custom_command(
    OUTPUT ${pictavo_icon_pngs}
    COMMAND pictavo-render-icon ${pictavo_icon_svg} ${pictavo_icon_dir} ${pictavo_icon_sizes}
    DEPENDS pictavo-render-icon ${pictavo_icon_svg}
    COMMENT "Drawing the program icon as PNG"
    VERBATIM)
  add_custom_target(pictavo-icons ALL DEPENDS ${pictavo_icon_pngs})
  install(DIRECTORY ${pictavo_icon_dir}/ DESTINATION share/icons/hicolor)

  configure_file(${pictavo_packaging_dir}/org.pictavo.Pictavo.metainfo.xml.in
                 ${PROJECT_BINARY_DIR}/packaging/org.pictavo.Pictavo.metainfo.xml @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/org.pictavo.Pictavo.metainfo.xml
          DESTINATION share/metainfo)

  # The polkit action names the installed program by its absolute path, which is known only when
  # installing (cpack installs under /usr, a plain cmake --install under CMAKE_INSTALL_PREFIX).
  # polkit reads actions from /usr/share/polkit-1/actions only.
  install(CODE "
    file(READ \"${pictavo_packaging_dir}/org.pictavo.pkexec.pictavo.policy.in\" policy)
    string(REPLACE \"@PICTAVO_INSTALLED_PROGRAM@\" \"\${CMAKE_INSTALL_PREFIX}/bin/pictavo\"
           policy \"\${policy}\")
    file(WRITE \"${PROJECT_BINARY_DIR}/packaging/install/org.pictavo.pkexec.pictavo.policy\"
         \"\${policy}\")
    file(INSTALL \"${PROJECT_BINARY_DIR}/packaging/install/org.pictavo.pkexec.pictavo.policy\"
         DESTINATION \"\${CMAKE_INSTALL_PREFIX}/share/polkit-1/actions\")
  ")
endif()

# The Debian package. Its dependencies are Debian 12's runtime packages of the libraries the
# programs link, listed by hand so that the package says what the project means to depend on;
# qt6-qpa-plugins brings the platform plugins without which the wizard cannot open a window.
set(CPACK_PACKAGE_NAME pictavo)
set(CPACK_PACKAGE_VENDOR "Pictavo")
set(CPACK_PACKAGE_CONTACT "Pictavo developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "recover deleted photos, camera raw files and videos")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "recover deleted photos, camera raw files and videos
Pictavo finds photos, camera raw files, movies and sound files on memory
cards, disks and disk images, also after they were deleted or the card was
formatted. It reads the medium sector by sector and recognises each file by
its own structure (carving), so no file system is needed. It never writes to
the medium it recovers from.
.
The package holds the Qt wizard pictavo and the command-line tool
pictavo-cli.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(pictavo_deb_depends
  "libc6 (>= 2.36)"
  "libstdc++6 (>= 12)"
  "libgcc-s1 (>= 3.0)"
  "libjpeg62-turbo (>= 1:2.1)"
  "libpng16-16 (>= 1.6.39)"
  "libtiff6 (>= 4.5.0)"
  "libgif7 (>= 5.2.1)"
  "libopenjp2-7 (>= 2.5.0)"
  "libraw20 (>= 0.20.2)"
  "libheif1 (>= 1.15.1)"
  "libwebp7 (>= 1.2.4)"
  "libwebpdemux2 (>= 1.2.4)"
  "libexiv2-27 (>= 0.27.6)"
  "libssl3 (>= 3.0.0)"
  "libblkid1 (>= 2.38)"
  "libtsk19 (>= 4.11)"
  "zlib1g (>= 1:1.2.13)")
if(PICTAVO_BUILD_GUI)
  list(APPEND pictavo_deb_depends
    "libqt6core6 (>= 6.4.2)"
    "libqt6gui6 (>= 6.4.2)"
    "libqt6widgets6 (>= 6.4.2)"
    "libqt6svg6 (>= 6.4.2)"
    "qt6-qpa-plugins")
  # pkexec runs the wizard as administrator through the polkit action above.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pkexec")
endif()
list(JOIN pictavo_deb_depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
include(CPack)
