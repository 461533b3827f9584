# make windows-package: burrowlink-<version>-x64.msi, which installs
# burrowlink.exe with the DLLs it loads, README.md, LICENSE.txt and the DLLs'
# licence and notices into Program Files\burrowlink and appends that folder
# to the system PATH, and a zip of the same files.
# wixl (Debian's wixl) writes the installer from packaging/windows; msibuild
# (msitools) adds the PATH entry, for which wixl has no element.
find_program(WIXL_EXECUTABLE wixl)
find_program(MSIBUILD_EXECUTABLE msibuild)
set(BURROWLINK_MSI ${CMAKE_BINARY_DIR}/burrowlink-${PROJECT_VERSION}-x64.msi)
set(BURROWLINK_ZIP ${CMAKE_BINARY_DIR}/burrowlink-${PROJECT_VERSION}-x64.zip)

# The UpgradeCode never changes: it is how Windows finds an older burrowlink
# to replace. The ProductCode is one per version, derived from it: a rebuilt
# installer of the same version is the same product to Windows (repaired or
# removed, never installed a second time beside itself), and a new version
# replaces the older one. A new code per build would need same-version
# upgrades, which wixl cannot allow, or let copies pile up side by side.
set(BURROWLINK_UPGRADE_CODE 14696DCE-0EC4-46D3-B0E3-6051F8FDB9F4)
string(UUID BURROWLINK_PRODUCT_CODE NAMESPACE ${BURROWLINK_UPGRADE_CODE}
       NAME "burrowlink ${PROJECT_VERSION}" TYPE SHA1 UPPER)
configure_file(packaging/windows/burrowlink.wxs.in
               ${CMAKE_BINARY_DIR}/packaging/burrowlink.wxs @ONLY)

# The files, staged once for both: wixl finds Source files only relative to
# the folder it runs in. The DLLs' licence is the text Debian ships
# (base-files); THIRD-PARTY.txt names the builds shipped, as dpkg knows them.
set(stage ${CMAKE_BINARY_DIR}/packaging/files)
set(package_files burrowlink.exe README.md LICENSE.txt)
foreach(dll IN LISTS BURROWLINK_DLLS)
  get_filename_component(dll_name ${dll} NAME)
  list(APPEND package_files ${dll_name})
endforeach()
find_file(LGPL_TEXT LGPL-2.1 PATHS /usr/share/common-licenses
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
list(TRANSFORM package_files PREPEND ${stage}/ OUTPUT_VARIABLE copied)
add_custom_command(
  OUTPUT ${copied} ${stage}/LGPL-2.1.txt
  COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:burrowlink>
          ${CMAKE_SOURCE_DIR}/README.md ${BURROWLINK_DLLS} ${stage}
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/LICENSE
          ${stage}/LICENSE.txt
  COMMAND ${CMAKE_COMMAND} -E copy ${LGPL_TEXT} ${stage}/LGPL-2.1.txt
  DEPENDS burrowlink ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE
          ${BURROWLINK_DLLS} ${LGPL_TEXT}
  VERBATIM)
set(third_party_in ${CMAKE_SOURCE_DIR}/packaging/windows/THIRD-PARTY.txt.in)
add_custom_command(
  OUTPUT ${stage}/THIRD-PARTY.txt
  COMMAND ${CMAKE_COMMAND} -DINPUT=${third_party_in}
          -DOUTPUT=${stage}/THIRD-PARTY.txt
          "-DCONTACT=${BURROWLINK_CONTACT}" "-DDLLS=${BURROWLINK_DLLS}"
          -P ${CMAKE_SOURCE_DIR}/cmake/third-party.cmake
  DEPENDS ${third_party_in} ${CMAKE_SOURCE_DIR}/cmake/third-party.cmake
          ${BURROWLINK_DLLS}
  VERBATIM)
list(APPEND package_files LGPL-2.1.txt THIRD-PARTY.txt)
list(TRANSFORM package_files PREPEND ${stage}/ OUTPUT_VARIABLE staged)

# Its one row: PATH, set on install and taken out on removal (=-), the
# system's (*), with the folder appended to what is there ([~];).
set(environment_table ${CMAKE_SOURCE_DIR}/packaging/windows/Environment.idt)
add_custom_command(
  OUTPUT ${BURROWLINK_MSI}
  # wixl reports some mistakes only as GLib criticals and goes on, leaving
  # out what it could not read: those stop it here.
  COMMAND ${CMAKE_COMMAND} -E env G_DEBUG=fatal-criticals
          ${WIXL_EXECUTABLE} --arch x64 -o ${BURROWLINK_MSI}.tmp
          ${CMAKE_BINARY_DIR}/packaging/burrowlink.wxs
  COMMAND ${MSIBUILD_EXECUTABLE} ${BURROWLINK_MSI}.tmp -i ${environment_table}
  COMMAND ${CMAKE_COMMAND} -E rename ${BURROWLINK_MSI}.tmp ${BURROWLINK_MSI}
  WORKING_DIRECTORY ${stage}
  DEPENDS ${staged} ${CMAKE_BINARY_DIR}/packaging/burrowlink.wxs
          ${environment_table}
  COMMENT "Writing the installer burrowlink-${PROJECT_VERSION}-x64.msi"
  VERBATIM)

add_custom_command(
  OUTPUT ${BURROWLINK_ZIP}
  COMMAND ${CMAKE_COMMAND} -E tar cf ${BURROWLINK_ZIP} --format=zip
          ${package_files}
  WORKING_DIRECTORY ${stage}
  DEPENDS ${staged}
  COMMENT "Writing burrowlink-${PROJECT_VERSION}-x64.zip"
  VERBATIM)

add_custom_target(windows-package DEPENDS ${BURROWLINK_MSI} ${BURROWLINK_ZIP})

# Under Wine, in the private network namespace: installs the msi, runs
# burrowlink through the PATH, uninstalls and looks for anything left; and
# checks the zip's contents.
add_test(NAME installer
  COMMAND ${CMAKE_SOURCE_DIR}/tests/wine-netns.sh
          ${CMAKE_SOURCE_DIR}/tests/installer_test.sh
          ${BURROWLINK_MSI} ${BURROWLINK_ZIP} ${PROJECT_VERSION}
          $<TARGET_FILE:burrowlink>)
