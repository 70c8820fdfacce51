# libssh2 for the SSH code, as the target hv_libssh2.
#
# Bundled (the default when scripts/fetch-libssh2 has stored the source in
# .deps/): Debian 13's libssh2 1.11.1 with Debian's patches and our
# libssh2-*.patch (below), built static and optimised into the build tree
# against the system's OpenSSL and zlib, as Debian builds it. 1.11 signs RSA
# with SHA-2, which today's OpenSSH servers need, and offers AES-GCM.
# Nothing is downloaded here.
#
# System: Debian 12's libssh2 1.10 (HV_BUNDLED_LIBSSH2=OFF, or automatically
# when the source is absent). See README for what does not work with it.
set(HV_LIBSSH2_SOURCE_DIR ${CMAKE_SOURCE_DIR}/.deps CACHE PATH "Where scripts/fetch-libssh2 stores the libssh2 source")
file(STRINGS ${CMAKE_SOURCE_DIR}/scripts/libssh2.sha256 hv_libssh2_line LIMIT_COUNT 1)
string(REGEX MATCH "^([0-9a-f]+) +(.+)$" _ "${hv_libssh2_line}")
set(hv_libssh2_sha256 ${CMAKE_MATCH_1})
set(hv_libssh2_tarball ${HV_LIBSSH2_SOURCE_DIR}/${CMAKE_MATCH_2})
set(hv_libssh2_patches ${HV_LIBSSH2_SOURCE_DIR}/libssh2-debian.tar.xz)

# Decided at every configure (scripts/build configures each time), so that a
# build folder made before the source was fetched takes it up afterwards.
option(HV_BUNDLED_LIBSSH2 "Build libssh2 1.11 from .deps/ when its source is there" ON)
if(HV_BUNDLED_LIBSSH2 AND NOT (EXISTS ${hv_libssh2_tarball} AND EXISTS ${hv_libssh2_patches}))
    message(WARNING "libssh2 source missing in ${HV_LIBSSH2_SOURCE_DIR} (run scripts/fetch-libssh2): "
                    "using the system libssh2, which cannot use RSA keys with current servers")
endif()

add_library(hv_libssh2 INTERFACE)
if(HV_BUNDLED_LIBSSH2 AND EXISTS ${hv_libssh2_tarball} AND EXISTS ${hv_libssh2_patches})
    include(ExternalProject)
    find_package(OpenSSL REQUIRED COMPONENTS Crypto)
    find_package(ZLIB REQUIRED)
    set(prefix ${CMAKE_BINARY_DIR}/libssh2)
    set(lib ${prefix}/lib/${CMAKE_STATIC_LIBRARY_PREFIX}ssh2${CMAKE_STATIC_LIBRARY_SUFFIX})
    # Debian's active patches in the order of its series file, then ours:
    # whole-blocks: both sides cipher runs of whole blocks in one call instead
    # of one call per 16 bytes, which made AES (CTR, GCM) slower than the
    # network on loopback.
    # gcm-mac-key: with AES-GCM the key exchange's two integrity keys (48
    # bytes each) were never freed, as the GCM stand-in MAC neither keeps
    # nor releases them: every connection and re-key lost them.
    # read-offset-leak: the reply of a short read at a moving end of file was
    # lost, once for every short reply.
    # sftp-open-handles: handles still open when the SFTP session ends (a
    # worker stopped in the middle of a listing cannot close its handle over
    # a cut connection) are freed with it.
    # sftp-write-after-wait: a write that found no answer yet left the SFTP
    # session in a state whose next write sent nothing new until the next
    # answer came: bytes handed in meanwhile went a round trip late.
    # free-after-cut-packet: a session freed with a packet sent in part (a
    # request whose call was given up on when the tab closed) could never be
    # freed: every close after it would block, and the session was lost.
    # hostkey-unfinished-kex: the server's host key, read before the key
    # exchange ends, was lost with a session closed between the two.
    # Debian's series once; each of ours unless it is in place already (the
    # step runs again in a build folder made with fewer patches of ours).
    file(WRITE ${prefix}/apply-patches.sh [=[
set -e
if [ ! -d debian/patches ]; then
    cmake -E tar xf "$1" debian/patches
    for p in $(grep -v '^#' debian/patches/series); do
        patch -p1 -s -N < "debian/patches/$p" || { rm -rf debian; exit 1; }
    done
fi
shift
for p in "$@"; do
    patch -p1 -s -R -f --dry-run < "$p" >/dev/null 2>&1 || patch -p1 -s -N < "$p"
done
]=])
    ExternalProject_Add(libssh2_bundled
        URL ${hv_libssh2_tarball}
        URL_HASH SHA256=${hv_libssh2_sha256}
        DOWNLOAD_EXTRACT_TIMESTAMP ON
        PREFIX ${prefix}
        INSTALL_DIR ${prefix}
        PATCH_COMMAND sh ${prefix}/apply-patches.sh ${hv_libssh2_patches}
            ${CMAKE_SOURCE_DIR}/cmake/libssh2-whole-blocks.patch ${CMAKE_SOURCE_DIR}/cmake/libssh2-gcm-mac-key.patch
            ${CMAKE_SOURCE_DIR}/cmake/libssh2-read-offset-leak.patch ${CMAKE_SOURCE_DIR}/cmake/libssh2-sftp-open-handles.patch
            ${CMAKE_SOURCE_DIR}/cmake/libssh2-sftp-write-after-wait.patch
            ${CMAKE_SOURCE_DIR}/cmake/libssh2-free-after-cut-packet.patch
            ${CMAKE_SOURCE_DIR}/cmake/libssh2-hostkey-unfinished-kex.patch
        CMAKE_ARGS
            -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
            -DCMAKE_INSTALL_LIBDIR=lib
            -DCMAKE_BUILD_TYPE=Release
            -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER}
            -DCMAKE_C_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}
            -DCMAKE_POSITION_INDEPENDENT_CODE=ON
            -DBUILD_SHARED_LIBS=OFF
            -DBUILD_STATIC_LIBS=ON
            -DCRYPTO_BACKEND=OpenSSL
            -DENABLE_ZLIB_COMPRESSION=ON
            -DBUILD_EXAMPLES=OFF
            -DBUILD_TESTING=OFF
        BUILD_BYPRODUCTS ${lib})
    file(MAKE_DIRECTORY ${prefix}/include)
    target_include_directories(hv_libssh2 SYSTEM INTERFACE ${prefix}/include)
    target_link_libraries(hv_libssh2 INTERFACE ${lib} OpenSSL::Crypto ZLIB::ZLIB)
    # For the tests of what only our patches mend.
    target_compile_definitions(hv_libssh2 INTERFACE HV_LIBSSH2_PATCHED=1)
    add_dependencies(hv_libssh2 libssh2_bundled)
    message(STATUS "libssh2: bundled 1.11.1 from ${hv_libssh2_tarball}")
else()
    pkg_check_modules(LIBSSH2 REQUIRED IMPORTED_TARGET libssh2)
    # Called directly too: a worker frees the crypto library's state of its
    # own thread as it ends.
    find_package(OpenSSL REQUIRED COMPONENTS Crypto)
    target_link_libraries(hv_libssh2 INTERFACE PkgConfig::LIBSSH2 OpenSSL::Crypto)
    message(STATUS "libssh2: system ${LIBSSH2_VERSION}")
endif()
