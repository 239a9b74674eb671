# The Debian package, built by `cpack -G DEB` in the build folder: what the
# install rules put under /usr, the version from project(), and the
# dependencies that dpkg-shlibdeps finds in the programs.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME linkdeal)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "congestion-free source/destination pairs for InfiniBand bandwidth tests")
set(CPACK_PACKAGE_DESCRIPTION
    "linkdeal reads the topology and forwarding-table dumps of an InfiniBand fabric
(from OpenSM or from ibnetdiscover, dump_fts and ibroute), groups the hosts by a
regular expression over their names, and writes source/destination pairs from
different groups such that along the routes the switches really use no link
carries more than a given number of pairs. fabricgen writes synthetic fat-tree
fabrics in the same forms.")
set(LINKDEAL_PACKAGE_MAINTAINER "linkdeal developers <linkdeal@localhost>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${LINKDEAL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "opensm, infiniband-diags")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
include(CPack)
