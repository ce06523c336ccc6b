# What an install lays down. scripts/package.sh makes the four Debian
# packages from its four components:
#
#   kestrin-drawerd           component "daemon": the Linux drawer library in
#                             its private folder, the drawer service with its
#                             systemd, D-Bus, sysusers and udev files, the
#                             print spooler's backend for its printers,
#                             kestrin-drawer-setup, kestrin-drawer-ctl, the
#                             drawer configuration, the udev rule samples and
#                             their manual pages. No Qt GUI library: a
#                             headless till needs only this one.
#   kestrin-drawer-web        component "web": the web bridge, its unit, its
#                             sysusers file, its account's D-Bus policy and
#                             its manual page.
#   kestrin-drawer            component "program": the window,
#                             kestrin-drawer-notify and its autostart entry,
#                             the desktop entry and the icons.
#   kestrin-drawer-simulator  component "simulator": a copy of the program
#                             beside the simulated library, the launcher
#                             that starts it, kestrin-drawer-sim and their
#                             desktop entry.
#
# `cmake --install` lays down the first three. Rules marked
# EXCLUDE_FROM_ALL are only installed by component: all of the simulator
# (`cmake --install <build> --component simulator`), the systemd and udev
# files, which belong in /lib whatever the prefix, and the configuration
# files in /etc, which only the packages install, as conffiles that dpkg
# keeps through upgrades, since a plain install would overwrite a user's
# edits.

include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(kestrin_library_permissions OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
# Not CMAKE_INSTALL_LIBDIR: the program looks for its library in
# <its folder>/../lib/kestrin-drawer, wherever the loader's own folders are.
set(kestrin_private_dir lib/kestrin-drawer)
set(kestrin_simulator_dir lib/kestrin-drawer-simulator)
set(kestrin_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/kestrin-drawer)
set(kestrin_daemon_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/kestrin-drawerd)
set(kestrin_simulator_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/kestrin-drawer-simulator)
set(kestrin_generated ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${kestrin_generated})

# Manual pages and long documents go in compressed, as Debian has them.
set(kestrin_compressed)
function(kestrin_gzip source output)
    add_custom_command(OUTPUT ${output}
        COMMAND gzip -9n -c ${source} > ${output}
        DEPENDS ${source} VERBATIM)
    set(kestrin_compressed ${kestrin_compressed} ${output} PARENT_SCOPE)
endfunction()

function(kestrin_man page component)
    get_filename_component(name ${page} NAME)
    string(REGEX MATCH "[0-9]$" section ${name})
    kestrin_gzip(${PROJECT_SOURCE_DIR}/${page} ${kestrin_generated}/${name}.gz)
    set(kestrin_compressed ${kestrin_compressed} PARENT_SCOPE)
    set(exclude)
    if(component STREQUAL "simulator")
        set(exclude EXCLUDE_FROM_ALL)
    endif()
    install(FILES ${kestrin_generated}/${name}.gz
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component} ${exclude})
endfunction()

# --- kestrin-drawerd --------------------------------------------------------

# The drawer library, the service, its tools and its configuration: all a
# till needs, with no window. Debian 12 keeps units and udev rules in /lib.
if(TARGET drawer_driver)
    install(TARGETS drawer_driver LIBRARY DESTINATION ${kestrin_private_dir}
            PERMISSIONS ${kestrin_library_permissions} COMPONENT daemon)
endif()
if(TARGET kestrin-drawer-setup)
    install(TARGETS kestrin-drawer-setup RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
            COMPONENT daemon)
endif()
if(EXISTS ${PROJECT_SOURCE_DIR}/docs/man/kestrin-drawer-setup.1)
    kestrin_man(docs/man/kestrin-drawer-setup.1 daemon)
endif()
# The print spooler's backend for the drawers' printers, world-executable so
# that the spooler runs it as its own account, lp, never as root.
if(TARGET kestrin-cups-backend)
    install(TARGETS kestrin-cups-backend RUNTIME DESTINATION lib/cups/backend
            PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                        WORLD_READ WORLD_EXECUTE
            COMPONENT daemon)
endif()
# The service is started by D-Bus activation through systemd.
if(TARGET kestrin-drawerd)
    install(TARGETS kestrin-drawerd RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}
            COMPONENT daemon)
    install(TARGETS kestrin-drawer-ctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
            COMPONENT daemon)
    kestrin_man(docs/man/kestrin-drawer-ctl.1 daemon)
    kestrin_man(docs/man/kestrin-drawerd.8 daemon)
    set(kestrin_service_files ${PROJECT_SOURCE_DIR}/packaging/service)
    install(FILES ${kestrin_service_files}/kestrin-drawerd.service
            DESTINATION /lib/systemd/system COMPONENT daemon EXCLUDE_FROM_ALL)
    install(FILES ${kestrin_service_files}/70-kestrin-drawerd.rules
            DESTINATION /lib/udev/rules.d COMPONENT daemon EXCLUDE_FROM_ALL)
    # What journalctl -x says about the drawer events the service writes to
    # the journal; systemd's package updates its catalog on install.
    install(FILES ${kestrin_service_files}/kestrin-drawer.catalog
            DESTINATION /usr/lib/systemd/catalog COMPONENT daemon EXCLUDE_FROM_ALL)
    install(FILES ${kestrin_service_files}/kestrin-drawer.sysusers
            DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/sysusers.d RENAME kestrin-drawer.conf
            COMPONENT daemon)
    install(FILES ${kestrin_service_files}/org.kestrin.Drawers1.conf
            DESTINATION ${CMAKE_INSTALL_DATADIR}/dbus-1/system.d COMPONENT daemon)
    install(FILES ${kestrin_service_files}/org.kestrin.Drawers1.service
            DESTINATION ${CMAKE_INSTALL_DATADIR}/dbus-1/system-services COMPONENT daemon)
    # The bus API, documented, for bus tools and code generators.
    install(FILES busapi/org.kestrin.Drawers1.xml
            DESTINATION ${CMAKE_INSTALL_DATADIR}/dbus-1/interfaces COMPONENT daemon)
endif()
kestrin_man(docs/man/drawers.conf.5 daemon)
install(FILES packaging/examples/drawers.conf.sample DESTINATION /etc/kestrin-drawer
        RENAME drawers.conf COMPONENT daemon EXCLUDE_FROM_ALL)
file(GLOB kestrin_udev_samples CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/examples/*.rules.sample)
install(FILES ${kestrin_udev_samples} DESTINATION ${kestrin_daemon_doc_dir}/examples
        COMPONENT daemon)
# Prometheus loads its rule files as they are: this one stays uncompressed.
install(FILES packaging/examples/kestrin-drawer.rules.yml
        DESTINATION ${kestrin_daemon_doc_dir}/examples COMPONENT daemon)
kestrin_gzip(${PROJECT_SOURCE_DIR}/README.md ${kestrin_generated}/README.md.gz)
kestrin_gzip(${CMAKE_CURRENT_LIST_DIR}/changelog ${kestrin_generated}/changelog.gz)
install(FILES ${kestrin_generated}/README.md.gz ${kestrin_generated}/changelog.gz
              ${CMAKE_CURRENT_LIST_DIR}/copyright
        DESTINATION ${kestrin_daemon_doc_dir} COMPONENT daemon)

# --- kestrin-drawer-web -----------------------------------------------------

# The drawers for web apps, as a unit the shop enables.
if(TARGET kestrin-drawer-web)
    install(TARGETS kestrin-drawer-web RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}
            COMPONENT web)
    kestrin_man(docs/man/kestrin-drawer-web.8 web)
    install(FILES packaging/web/kestrin-drawer-web.service
            DESTINATION /lib/systemd/system COMPONENT web EXCLUDE_FROM_ALL)
    install(FILES packaging/web/kestrin-drawer-web.sysusers
            DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/sysusers.d RENAME kestrin-drawer-web.conf
            COMPONENT web)
    # What its account may ask of the service, beside the service's policy.
    install(FILES packaging/web/kestrin-drawer-web.conf
            DESTINATION ${CMAKE_INSTALL_DATADIR}/dbus-1/system.d COMPONENT web)
    install(FILES ${kestrin_generated}/changelog.gz ${CMAKE_CURRENT_LIST_DIR}/copyright
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kestrin-drawer-web COMPONENT web)
endif()

# --- kestrin-drawer ---------------------------------------------------------

# The window and the left-open alarms' agent, started with every desktop
# session.
install(TARGETS kestrin-drawer RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
kestrin_man(docs/man/kestrin-drawer.1 program)
if(TARGET kestrin-drawer-notify)
    install(TARGETS kestrin-drawer-notify RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
            COMPONENT program)
    kestrin_man(docs/man/kestrin-drawer-notify.1 program)
    install(FILES resources/kestrin-drawer-notify.desktop DESTINATION /etc/xdg/autostart
            COMPONENT program EXCLUDE_FROM_ALL)
endif()
install(FILES resources/kestrin-drawer.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT program)
foreach(size 16 32)
    install(FILES resources/icons/kestrin-drawer-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME kestrin-drawer.png COMPONENT program)
endforeach()
install(FILES resources/kestrin-drawer.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT program)
install(FILES ${kestrin_generated}/changelog.gz ${CMAKE_CURRENT_LIST_DIR}/copyright
        DESTINATION ${kestrin_doc_dir} COMPONENT program)

# --- kestrin-drawer-simulator ----------------------------------------------

# The program looks in its own folder first, so a copy of it beside the
# simulated library runs on the simulated drawers whatever else is
# installed. The launcher is a link to that copy: the program finds its
# folder from where its file really is, not from the link.
install(TARGETS kestrin-drawer RUNTIME DESTINATION ${kestrin_simulator_dir}
        COMPONENT simulator EXCLUDE_FROM_ALL)
install(TARGETS KestrinPOS_USB LIBRARY DESTINATION ${kestrin_simulator_dir}
        PERMISSIONS ${kestrin_library_permissions} COMPONENT simulator EXCLUDE_FROM_ALL)
install(TARGETS kestrin-drawer-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT simulator EXCLUDE_FROM_ALL)
file(CREATE_LINK ../${kestrin_simulator_dir}/kestrin-drawer
     ${kestrin_generated}/kestrin-drawer-simulator SYMBOLIC)
install(FILES ${kestrin_generated}/kestrin-drawer-simulator
        DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT simulator EXCLUDE_FROM_ALL)
# The launcher is the program: its manual page is the program's.
file(CREATE_LINK kestrin-drawer.1.gz ${kestrin_generated}/kestrin-drawer-simulator.1.gz SYMBOLIC)
install(FILES ${kestrin_generated}/kestrin-drawer-simulator.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT simulator EXCLUDE_FROM_ALL)
kestrin_man(docs/man/kestrin-drawer-sim.1 simulator)
install(FILES resources/kestrin-drawer-simulator.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT simulator EXCLUDE_FROM_ALL)
install(FILES ${kestrin_generated}/changelog.gz ${CMAKE_CURRENT_LIST_DIR}/copyright
        DESTINATION ${kestrin_simulator_doc_dir} COMPONENT simulator EXCLUDE_FROM_ALL)

add_custom_target(kestrin_docs ALL DEPENDS ${kestrin_compressed})
