# The Debian package, built from a build tree by "cpack -G DEB": everything
# "cmake --install" puts in place, under /usr, with its dependencies read
# off the shared libraries it links (dpkg-shlibdeps).
set(CPACK_PACKAGE_NAME ktsm)
set(CPACK_PACKAGE_VENDOR "ktsm")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "point-in-time versions (snapshots) of file groups on a GlusterFS volume")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "A library and its command-line host, ktsmctl, that keep versions of the\n"
  "top-level directories of a GlusterFS volume (or of a local directory\n"
  "standing in for one): snapshots, restore, diff, prune, holds, exports, and\n"
  "a timeline that takes snapshots on a schedule (systemd timer included).")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "ktsm maintainers <root@localhost>")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The package's own libraries, which the tool links: found in the build
# tree, not asked of other packages.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${PROJECT_BINARY_DIR}/src ${PROJECT_BINARY_DIR}/services/ktfscore
  ${PROJECT_BINARY_DIR}/services/ktfssnapcore ${PROJECT_BINARY_DIR}/services/ktlib)
# The export command is a stand-in of storhaug's: never both.
set(CPACK_DEBIAN_PACKAGE_CONFLICTS storhaug)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "glusterfs-server, nfs-ganesha-gluster")
include(CPack)
