# Writes OUTPUT, THIRD-PARTY.txt of the Windows packages: INPUT with the
# shipped DLLs' versions filled in, then the copyright notices that Debian
# records for them (some parts of libgcrypt are under BSD-style terms that
# want their notices shipped with binaries). Everything comes from the Debian
# packages that own the DLLs, asked when the packages are made.
#   cmake -DINPUT=... -DOUTPUT=... -DCONTACT=... "-DDLLS=a.dll;b.dll"
#         -P cmake/third-party.cmake
find_program(DPKG_QUERY dpkg-query REQUIRED)

# dpkg-query's answer to ARGN, or a stop naming what failed.
function(dpkg_query out)
  execute_process(COMMAND ${DPKG_QUERY} ${ARGN} OUTPUT_VARIABLE answer
                  RESULT_VARIABLE status ERROR_VARIABLE error)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-query ${ARGN}: ${error}")
  endif()
  string(STRIP "${answer}" answer)
  set(${out} "${answer}" PARENT_SCOPE)
endfunction()

set(notices "")
foreach(dll IN LISTS DLLS)
  # "libgcrypt-mingw-w64-dev: /usr/x86_64-w64-mingw32/bin/libgcrypt-20.dll"
  dpkg_query(owner -S ${dll})
  string(REGEX REPLACE ":? .*" "" package "${owner}")
  dpkg_query(facts -W "-f=\${Version}\t\${source:Package}\t\${source:Version}"
             ${package})
  string(REPLACE "\t" ";" facts "${facts}")
  list(GET facts 0 version)
  list(GET facts 1 source)
  list(GET facts 2 source_version)
  # The upstream version: no epoch, no Debian revision.
  string(REGEX REPLACE "^[0-9]+:|-[^-]*$" "" upstream "${source_version}")
  # Debian's pool keeps lib* sources under their first four letters.
  string(REGEX MATCH "^(lib)?." pool "${source}")
  if(dll MATCHES "gcrypt")
    set(var GCRYPT)
  else()
    set(var GPG_ERROR)
  endif()
  set(${var}_PACKAGE ${package})
  set(${var}_VERSION ${version})
  set(${var}_SOURCE ${source})
  set(${var}_SOURCE_VERSION ${source_version})
  set(${var}_UPSTREAM ${upstream})
  set(${var}_POOL ${pool}/${source})
  get_filename_component(name ${dll} NAME)
  file(READ /usr/share/doc/${package}/copyright copyright)
  string(APPEND notices "\n\n${name}: /usr/share/doc/${package}/copyright\n"
         "------------------------------------------------------------------\n\n"
         "${copyright}")
endforeach()
foreach(var GCRYPT GPG_ERROR)
  if(NOT DEFINED ${var}_PACKAGE)
    message(FATAL_ERROR "no ${var} DLL among DLLS=${DLLS}")
  endif()
endforeach()

configure_file(${INPUT} ${OUTPUT} @ONLY)
file(APPEND ${OUTPUT} "${notices}")
