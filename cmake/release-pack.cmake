# Run by CPack after each package, before it copies the package out of its
# staging folder. Each archive is packed again here from the same staged
# files, as CPack's own differ between builds: it writes a tarball's or a
# zip's entries in the order the file system lists them, a zip entry's date
# in local time, and a .deb's three members with the modes the builder's
# umask gave its files; and the staged folders have the umask's modes and
# the files their build or source times. Then SHA256SUMS beside the
# packages is written anew for the release's archives there, and BUILDINFO
# beside it: the versions of the tools the files were built and packed
# with (the binaries carry the compiler's), for a rebuild to use the same.
set(staged ${CPACK_TEMPORARY_DIRECTORY})
set(date $ENV{SOURCE_DATE_EPOCH}) # release-date.cmake

# The files keep the modes their install() rules give.
file(CHMOD_RECURSE ${staged} DIRECTORY_PERMISSIONS
     OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(GLOB_RECURSE entries LIST_DIRECTORIES true ${staged}/*)
execute_process(COMMAND touch -h -d @${date} ${staged} ${entries} COMMAND_ERROR_IS_FATAL ANY)

if(CPACK_GENERATOR STREQUAL "TGZ")
  get_filename_component(parent ${staged} DIRECTORY)
  get_filename_component(top ${staged} NAME)
  execute_process(
    COMMAND tar --create --format=gnu --sort=name --owner=root:0 --group=root:0
            -C ${parent} ${top}
    COMMAND gzip -9n
    OUTPUT_FILE ${CPACK_PACKAGE_FILES}
    COMMAND_ERROR_IS_FATAL ANY)
elseif(CPACK_GENERATOR STREQUAL "ZIP")
  # The staged files are all in one folder. -X leaves out their owner.
  file(GLOB files RELATIVE ${staged} ${staged}/*)
  list(SORT files)
  file(REMOVE ${CPACK_PACKAGE_FILES})
  execute_process(COMMAND env TZ=UTC0 zip -X -q ${CPACK_PACKAGE_FILES} ${files}
                  WORKING_DIRECTORY ${staged} COMMAND_ERROR_IS_FATAL ANY)
elseif(CPACK_GENERATOR STREQUAL "DEB")
  # Beside the tree, CPack left the control files it wrote and the members
  # it packed them into; dpkg-deb packs the tree with the control files,
  # dating every entry no later than SOURCE_DATE_EPOCH.
  file(REMOVE ${staged}/debian-binary ${staged}/control.tar.gz ${staged}/data.tar.gz)
  file(MAKE_DIRECTORY ${staged}/DEBIAN)
  file(CHMOD ${staged}/DEBIAN PERMISSIONS
       OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  foreach(control control md5sums)
    file(RENAME ${staged}/${control} ${staged}/DEBIAN/${control})
    file(CHMOD ${staged}/DEBIAN/${control} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endforeach()
  execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip --build ${staged}
                          ${CPACK_PACKAGE_FILES}
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
endif()

# Each archive of the release: the one just made, else the one already
# beside SHA256SUMS.
set(sums "")
foreach(name IN LISTS CPACK_SYSGRAB_RELEASE)
  set(path ${CPACK_PACKAGE_DIRECTORY}/${name})
  foreach(made IN LISTS CPACK_PACKAGE_FILES)
    get_filename_component(made_name ${made} NAME)
    if(made_name STREQUAL name)
      set(path ${made})
    endif()
  endforeach()
  if(EXISTS ${path})
    file(SHA256 ${path} hash)
    string(APPEND sums "${hash}  ${name}\n")
  endif()
endforeach()
file(WRITE ${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS "${sums}")

# "NAME: " and the first line of PROGRAM --version but a copyright line.
function(tool_version name program)
  execute_process(COMMAND ${program} --version OUTPUT_VARIABLE out ERROR_QUIET
                  COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX REPLACE "(^|\n)Copyright[^\n]*" "" out "${out}")
  string(REGEX MATCH "[^\n]+" line "${out}")
  if(line STREQUAL "")
    message(FATAL_ERROR "${program} --version names no version")
  endif()
  set(info "${info}${name}: ${line}\n" PARENT_SCOPE)
endfunction()
set(info "")
tool_version(compiler ${CPACK_SYSGRAB_COMPILER})
tool_version(binutils ${CPACK_SYSGRAB_BINUTILS})
tool_version(cmake ${CPACK_SYSGRAB_CMAKE})
if(CPACK_SYSGRAB_RELEASE MATCHES "\\.deb(;|$)")
  tool_version(dpkg dpkg-deb)
endif()
if(CPACK_SYSGRAB_RELEASE MATCHES "\\.tar\\.gz(;|$)")
  tool_version(tar tar)
  tool_version(gzip gzip)
endif()
if(CPACK_SYSGRAB_RELEASE MATCHES "\\.zip(;|$)")
  tool_version(zip zip)
endif()
file(WRITE ${CPACK_PACKAGE_DIRECTORY}/BUILDINFO "${info}")
