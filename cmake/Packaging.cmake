# Install rules and the Debian package tarvo-configurator, made by CPack's
# DEB generator: `sh scripts/package` (see there). Every install() rule of
# the project ends up in the package.
#
# Included at the end of the top-level CMakeLists.txt, so that every
# program target exists by then.

include(GNUInstallDirs)

# The id of the desktop entry, the icon and the AppStream component.
set(TARVO_APP_ID org.tarvo.configurator)
set(TARVO_PACKAGE_NAME tarvo-configurator)
set(TARVO_PACKAGE_SOURCE ${CMAKE_SOURCE_DIR}/packaging)
set(TARVO_PACKAGE_BINARY ${CMAKE_BINARY_DIR}/packaging)
set(TARVO_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${TARVO_PACKAGE_NAME})

# The programs, each with a man page of its own; the emulator is there to try
# the others without hardware (docs/EMULATOR.md).
set(TARVO_PACKAGED_PROGRAMS)
foreach(program tarvo-configurator tarvo-production tarvo tarvo-emulator)
  if(TARGET ${program})
    list(APPEND TARVO_PACKAGED_PROGRAMS ${program})
  endif()
endforeach()
install(TARGETS ${TARVO_PACKAGED_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Stripped as dh_strip does, without the compiler's .comment and .note
# (the build id stays).
foreach(program ${TARVO_PACKAGED_PROGRAMS})
  install(CODE "if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\" COMMAND_ERROR_IS_FATAL ANY)
  endif()")
endforeach()
# What lintian reports wrongly, each with the reason (packaging/lintian-overrides).
install(FILES ${TARVO_PACKAGE_SOURCE}/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${TARVO_PACKAGE_NAME})

# The changelog's latest entry must carry the project's version: a version
# bump without an entry stops here. Its date is the release date that the
# AppStream metainfo shows.
file(STRINGS ${TARVO_PACKAGE_SOURCE}/changelog changelog_top LIMIT_COUNT 1)
string(REGEX MATCH "^${TARVO_PACKAGE_NAME} \\(([^)]+)\\)" changelog_version "${changelog_top}")
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "packaging/changelog: the latest entry is not version ${PROJECT_VERSION}: ${changelog_top}")
endif()
file(STRINGS ${TARVO_PACKAGE_SOURCE}/changelog changelog_trailer REGEX "^ -- " LIMIT_COUNT 1)
if(NOT changelog_trailer MATCHES ">  [A-Z][a-z][a-z], ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
  message(FATAL_ERROR "packaging/changelog: no date in the latest entry's trailer line")
endif()
set(day ${CMAKE_MATCH_1})
set(year ${CMAKE_MATCH_3})
set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(FIND months ${CMAKE_MATCH_2} month)
math(EXPR month "${month} + 1" OUTPUT_FORMAT DECIMAL)
if(month LESS 10)
  set(month 0${month})
endif()
set(TARVO_RELEASE_DATE ${year}-${month}-${day})

set(TARVO_PROVIDED_BINARIES)
foreach(program ${TARVO_PACKAGED_PROGRAMS})
  string(APPEND TARVO_PROVIDED_BINARIES "\n    <binary>${program}</binary>")
endforeach()
configure_file(${TARVO_PACKAGE_SOURCE}/tarvo-configurator.desktop.in
  ${TARVO_PACKAGE_BINARY}/${TARVO_APP_ID}.desktop @ONLY)
configure_file(${TARVO_PACKAGE_SOURCE}/tarvo-configurator.metainfo.xml.in
  ${TARVO_PACKAGE_BINARY}/${TARVO_APP_ID}.metainfo.xml @ONLY)
install(FILES ${TARVO_PACKAGE_BINARY}/${TARVO_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
install(FILES ${TARVO_PACKAGE_BINARY}/${TARVO_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/metainfo)

# The icon: the drawing and its PNG renderings (scripts/render-icons).
set(icon_dir ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor)
install(FILES ${TARVO_PACKAGE_SOURCE}/icons/tarvo-configurator.svg
  DESTINATION ${icon_dir}/scalable/apps RENAME ${TARVO_APP_ID}.svg)
file(GLOB icon_sizes RELATIVE ${TARVO_PACKAGE_SOURCE}/icons ${TARVO_PACKAGE_SOURCE}/icons/*x*)
set(icon_renderings)
foreach(size ${icon_sizes})
  install(FILES ${TARVO_PACKAGE_SOURCE}/icons/${size}/tarvo-configurator.png
    DESTINATION ${icon_dir}/${size}/apps RENAME ${TARVO_APP_ID}.png)
  list(APPEND icon_renderings ${TARVO_PACKAGE_SOURCE}/icons/${size}/tarvo-configurator.png)
endforeach()
# The same renderings inside the window's program (":/icons/..."), its
# window icon without an icon theme (app/main.cpp).
qt_add_resources(tarvo-configurator tarvo_window_icon
  PREFIX /icons BASE ${TARVO_PACKAGE_SOURCE}/icons FILES ${icon_renderings})

# tarvo's bash completion, which bash-completion loads on the first tab.
# Its test runs it against a stand-in tarvo in a private network, whose
# interfaces it offers.
if(TARGET tarvo)
  install(FILES ${TARVO_PACKAGE_SOURCE}/bash-completion/tarvo
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions)
  add_test(NAME tst_completion
    COMMAND sh ${CMAKE_SOURCE_DIR}/scripts/netns-run -- bash ${CMAKE_SOURCE_DIR}/tests/packaging/tst_completion.sh
            ${TARVO_PACKAGE_SOURCE}/bash-completion/tarvo)
  set_tests_properties(tst_completion PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 60)
endif()

# Man pages and the changelog go in compressed as Debian wants them:
# gzip -9, without name and time stamp, so the bytes do not depend on the build.
set(compressed)
function(tarvo_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND gzip -9nc ${source} > ${output}
    DEPENDS ${source} VERBATIM)
  set(compressed ${compressed} ${output} PARENT_SCOPE)
endfunction()
file(MAKE_DIRECTORY ${TARVO_PACKAGE_BINARY}/man)
foreach(program ${TARVO_PACKAGED_PROGRAMS})
  set(page ${TARVO_PACKAGE_BINARY}/man/${program}.1.gz)
  tarvo_gzip(${TARVO_PACKAGE_SOURCE}/man/${program}.1 ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
# A native package (no Debian revision in its version) has changelog.gz,
# not changelog.Debian.gz.
tarvo_gzip(${TARVO_PACKAGE_SOURCE}/changelog ${TARVO_PACKAGE_BINARY}/changelog.gz)
install(FILES ${TARVO_PACKAGE_BINARY}/changelog.gz ${TARVO_PACKAGE_SOURCE}/copyright DESTINATION ${TARVO_DOC_DIR})
add_custom_target(tarvo-package-files ALL DEPENDS ${compressed})

# The emulator's demonstration nodes: data, not documentation (which
# Debian lets administrators leave out).
install(FILES ${CMAKE_SOURCE_DIR}/emulator/demo-nodes.json DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/${TARVO_PACKAGE_NAME})

# The Ansible collection tarvo.nodes (docs/SITES.md), as ansible-galaxy
# builds and installs it, where Debian's Ansible looks without being told:
# /usr/share/ansible/collections. Only the package needs ansible-galaxy.
file(STRINGS ${CMAKE_SOURCE_DIR}/ansible/galaxy.yml collection_version REGEX "^version: " LIMIT_COUNT 1)
string(REGEX REPLACE "^version: *" "" collection_version "${collection_version}")
file(GLOB_RECURSE collection_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/ansible/*)
set(collection_stage ${TARVO_PACKAGE_BINARY}/collection)
set(collection_dir ${collection_stage}/installed/ansible_collections/tarvo/nodes)
find_program(TARVO_ANSIBLE_GALAXY ansible-galaxy)
if(TARVO_ANSIBLE_GALAXY)
  # Its home and temporary files stay in the build tree.
  set(galaxy ${CMAKE_COMMAND} -E env ANSIBLE_HOME=${collection_stage}/home ANSIBLE_LOCAL_TEMP=${collection_stage}/tmp
    ANSIBLE_NOCOLOR=1 ${TARVO_ANSIBLE_GALAXY} collection)
  set(collection_commands
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${collection_stage}
    COMMAND ${galaxy} build ${CMAKE_SOURCE_DIR}/ansible --output-path ${collection_stage}
    COMMAND ${galaxy} install -p ${collection_stage}/installed ${collection_stage}/tarvo-nodes-${collection_version}.tar.gz)
else()
  set(collection_commands
    COMMAND ${CMAKE_COMMAND} -E echo "The package's Ansible collection needs ansible-galaxy: apt-get install ansible-core"
    COMMAND ${CMAKE_COMMAND} -E false)
endif()
add_custom_command(OUTPUT ${collection_dir}/MANIFEST.json ${collection_commands}
  DEPENDS ${collection_sources} VERBATIM)
add_custom_target(tarvo-collection DEPENDS ${collection_dir}/MANIFEST.json)
install(DIRECTORY ${collection_dir}/
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/ansible/collections/ansible_collections/tarvo/nodes)
if(CPACK_DEBIAN_PACKAGE_SUGGESTS)
  string(APPEND CPACK_DEBIAN_PACKAGE_SUGGESTS ", ansible-core")
else()
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS ansible-core)
endif()

# What the package holds, and nothing else: scripts/package builds this
# target rather than the tests and benchmarks.
add_custom_target(tarvo-package-contents)
add_dependencies(tarvo-package-contents ${TARVO_PACKAGED_PROGRAMS} tarvo-package-files tarvo-collection)

# --- tarvo metrics: systemd units, their settings, the alert rules -------
# (docs/MONITORING.md). The timer is installed disabled: no maintainer
# script enables it. Debian 12 keeps units in /lib/systemd/system.
set(TARVO_UNIT_DIR /lib/systemd/system)
install(FILES ${TARVO_PACKAGE_SOURCE}/systemd/tarvo-metrics.service ${TARVO_PACKAGE_SOURCE}/systemd/tarvo-metrics.timer
  DESTINATION ${TARVO_UNIT_DIR})
install(FILES ${TARVO_PACKAGE_SOURCE}/systemd/tarvo-metrics.default
  DESTINATION /etc/default RENAME tarvo-metrics)
install(FILES ${CMAKE_SOURCE_DIR}/docs/MONITORING.md DESTINATION ${TARVO_DOC_DIR})
install(FILES ${TARVO_PACKAGE_SOURCE}/prometheus/tarvo-alerts.yml DESTINATION ${TARVO_DOC_DIR}/examples)
# Files under /etc are the administrator's once installed: dpkg keeps edits.
file(WRITE ${TARVO_PACKAGE_BINARY}/conffiles "/etc/default/tarvo-metrics\n")
list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${TARVO_PACKAGE_BINARY}/conffiles)
if(CPACK_DEBIAN_PACKAGE_SUGGESTS)
  string(APPEND CPACK_DEBIAN_PACKAGE_SUGGESTS ", prometheus-node-exporter")
else()
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS prometheus-node-exporter)
endif()
# --- end of tarvo metrics ---------------------------------------------------

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${TARVO_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tarvo configurator maintainers <maintainers@users.noreply.c-seed-9b49ab4d.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "configuration tool for Tarvo DMX512 Ethernet nodes")
# The summary is the description's first line; CPack indents the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Tarvo configurator finds the Tarvo Ethernet nodes on a lighting network,
each of which drives four DMX512 outputs, and shows their serial numbers,
firmware, addresses and labels. For a connected node it reads and changes
the network settings, the label and the timings, channel count and merge
mode of every DMX port; it restores the factory configuration, upgrades the
firmware and starts the application of a node in its boot loader.

The package also holds tarvo, which looks after the nodes of a whole site
from the command line (inventory, configuration files, parallel firmware
upgrades); tarvo-production, which builds firmware upgrade files and
factory images; tarvo-emulator, which plays nodes on a private test network
for trying the tools without hardware; and the Ansible collection
tarvo.nodes, which manages the nodes of many sites through tarvo.")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's form is laid out for Liberation Sans.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation2")
set(CPACK_STRIP_FILES ON)
# Control files and directories get Debian's usual modes (0644, 0755)
# whatever the builder's umask.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
