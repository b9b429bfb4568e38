# Gives an executable its version resource: a Windows VS_VERSIONINFO block,
# generated from the project version. On Windows it is a VERSIONINFO
# resource in a generated .rc file, which the system's version calls read;
# elsewhere the same block is compiled into the ELF section ".rsrc_version",
# where CFileVersionInfo (app/file_version_info.h) reads it back from the
# running file. Both come from the same variables below, so the texts and
# numbers agree on both systems.
#
#   readertool_embed_version(<target> [DESCRIPTION <text>])
#
# Version mapping: project version MAJOR.MINOR.PATCH becomes the file and
# product version MAJOR.(MINOR / 10).(MINOR % 10).PATCH, so that the window
# caption "V%d.%d%d.%03d" reads V<major>.<minor as two digits>.<patch as
# three digits>: 1.3.1 -> 1.0.3.1 -> "V1.03.001". MINOR must stay below 100
# and PATCH below 1000. The "FileVersion" and "ProductVersion" strings carry
# the project version as written (1.3.1).
include_guard(GLOBAL)

function(_rt_hex_byte out value)
  math(EXPR v "(${value}) & 255" OUTPUT_FORMAT HEXADECIMAL)
  string(SUBSTRING "${v}" 2 -1 h)
  string(LENGTH "${h}" n)
  if(n EQUAL 1)
    set(h "0${h}")
  endif()
  set(${out} "${h}" PARENT_SCOPE)
endfunction()

function(_rt_le16 out value)
  _rt_hex_byte(lo "${value}")
  _rt_hex_byte(hi "(${value}) >> 8")
  set(${out} "${lo}${hi}" PARENT_SCOPE)
endfunction()

function(_rt_le32 out value)
  _rt_le16(lo "(${value}) & 65535")
  _rt_le16(hi "((${value}) >> 16) & 65535")
  set(${out} "${lo}${hi}" PARENT_SCOPE)
endfunction()

# ASCII text as NUL-terminated UTF-16LE.
function(_rt_utf16z out text)
  string(HEX "${text}" h)
  string(REGEX REPLACE "(..)" "\\100" h "${h}")
  set(${out} "${h}0000" PARENT_SCOPE)
endfunction()

function(_rt_pad4 var)
  string(LENGTH "${${var}}" n)
  math(EXPR rem "(${n} / 2) % 4")
  if(NOT rem EQUAL 0)
    math(EXPR pad "4 - ${rem}")
    foreach(i RANGE 1 ${pad})
      string(APPEND ${var} "00")
    endforeach()
  endif()
  set(${var} "${${var}}" PARENT_SCOPE)
endfunction()

# One node: wLength, wValueLength, wType, key, padding, value, and the
# children (each already padded to 32 bits).
function(_rt_node out key type value_hex value_length children_hex)
  _rt_utf16z(k "${key}")
  set(body "${k}")
  # The header is 6 bytes: align the key's end as if they were there.
  set(tmp "000000000000${body}")
  _rt_pad4(tmp)
  string(SUBSTRING "${tmp}" 12 -1 body)
  string(APPEND body "${value_hex}")
  if(NOT "${children_hex}" STREQUAL "")
    set(tmp "000000000000${body}")
    _rt_pad4(tmp)
    string(SUBSTRING "${tmp}" 12 -1 body)
    string(APPEND body "${children_hex}")
  endif()
  string(LENGTH "${body}" n)
  math(EXPR total "${n} / 2 + 6")
  _rt_le16(h_len "${total}")
  _rt_le16(h_vlen "${value_length}")
  _rt_le16(h_type "${type}")
  set(node "${h_len}${h_vlen}${h_type}${body}")
  _rt_pad4(node)
  set(${out} "${node}" PARENT_SCOPE)
endfunction()

function(_rt_string_node out key text)
  _rt_utf16z(v "${text}")
  string(LENGTH "${text}" chars)
  math(EXPR chars "${chars} + 1")
  _rt_node(node "${key}" 1 "${v}" ${chars} "")
  set(${out} "${node}" PARENT_SCOPE)
endfunction()

function(readertool_embed_version target)
  cmake_parse_arguments(ARG "" "DESCRIPTION" "" ${ARGN})
  if(NOT ARG_DESCRIPTION)
    set(ARG_DESCRIPTION "${target}")
  endif()
  set(major ${PROJECT_VERSION_MAJOR})
  set(minor ${PROJECT_VERSION_MINOR})
  set(patch ${PROJECT_VERSION_PATCH})
  if(NOT minor)
    set(minor 0)
  endif()
  if(NOT patch)
    set(patch 0)
  endif()
  if(minor GREATER_EQUAL 100 OR patch GREATER_EQUAL 1000)
    message(FATAL_ERROR "readertool_embed_version: version ${PROJECT_VERSION} does not fit the caption's V%d.%d%d.%03d")
  endif()
  math(EXPR v2 "${minor} / 10")
  math(EXPR v3 "${minor} % 10")
  set(file_version "${major}.${minor}.${patch}")
  # The string table, English (United States) in Unicode (code page 1200).
  set(string_pairs
      "CompanyName=readertool developers"
      "FileDescription=${ARG_DESCRIPTION}"
      "FileVersion=${file_version}"
      "InternalName=${target}"
      "LegalCopyright=readertool developers"
      "OriginalFilename=${target}"
      "ProductName=readertool"
      "ProductVersion=${file_version}")
  set(lang_id "0x0409")
  set(code_page "1200")
  # The table's key: language and code page as eight hex digits.
  _rt_le16(lang_le "${lang_id}")
  _rt_le16(cp_le "${code_page}")
  string(REGEX REPLACE "^(..)(..)(..)(..)$" "\\2\\1\\4\\3" table_key "${lang_le}${cp_le}")
  string(TOUPPER "${table_key}" table_key)

  if(WIN32)
    _rt_version_rc("${target}" "${major},${v2},${v3},${patch}" "${lang_id}" "${code_page}" "${table_key}"
                   "${string_pairs}")
  else()
    _rt_version_elf("${target}" "${major}" "${v2}" "${v3}" "${patch}" "${lang_id}" "${code_page}" "${table_key}"
                    "${string_pairs}")
  endif()
endfunction()

# Windows: a VERSIONINFO resource script, compiled by the resource compiler
# and linked into the program.
function(_rt_version_rc target numbers lang_id code_page table_key string_pairs)
  set(values "")
  foreach(pair ${string_pairs})
    string(FIND "${pair}" "=" eq)
    string(SUBSTRING "${pair}" 0 ${eq} key)
    math(EXPR at "${eq} + 1")
    string(SUBSTRING "${pair}" ${at} -1 text)
    string(REPLACE "\"" "\"\"" text "${text}")
    string(APPEND values "            VALUE \"${key}\", \"${text}\"\n")
  endforeach()
  set(out "${CMAKE_BINARY_DIR}/generated/version_resource_${target}.rc")
  # Fixed part: flags mask 0x3F, no flags, Windows NT (VOS_NT_WINDOWS32),
  # an application (VFT_APP).
  file(GENERATE OUTPUT "${out}" CONTENT
"// Generated by cmake/EmbedVersion.cmake for ${target}, version ${PROJECT_VERSION}; do not edit.
1 VERSIONINFO
FILEVERSION ${numbers}
PRODUCTVERSION ${numbers}
FILEFLAGSMASK 0x3F
FILEFLAGS 0x0
FILEOS 0x40004
FILETYPE 0x1
FILESUBTYPE 0x0
BEGIN
    BLOCK \"StringFileInfo\"
    BEGIN
        BLOCK \"${table_key}\"
        BEGIN
${values}        END
    END
    BLOCK \"VarFileInfo\"
    BEGIN
        VALUE \"Translation\", ${lang_id}, ${code_page}
    END
END
")
  target_sources(${target} PRIVATE "${out}")
endfunction()

# Elsewhere: the VS_VERSIONINFO block byte by byte, in an ELF section.
function(_rt_version_elf target major v2 v3 patch lang_id code_page table_key string_pairs)
  # VS_FIXEDFILEINFO: signature, structure version 1.0, file and product
  # version, flags mask, flags, OS (unknown), type (application), subtype, date.
  _rt_le32(ms "(${major} << 16) | ${v2}")
  _rt_le32(ls "(${v3} << 16) | ${patch}")
  _rt_le32(sig "0xFEEF04BD")
  _rt_le32(struc "0x00010000")
  _rt_le32(mask "0x3F")
  _rt_le32(zero "0")
  _rt_le32(app "1")
  set(fixed "${sig}${struc}${ms}${ls}${ms}${ls}${mask}${zero}${zero}${app}${zero}${zero}${zero}")

  set(strings "")
  foreach(pair ${string_pairs})
    string(FIND "${pair}" "=" eq)
    string(SUBSTRING "${pair}" 0 ${eq} key)
    math(EXPR at "${eq} + 1")
    string(SUBSTRING "${pair}" ${at} -1 text)
    _rt_string_node(s "${key}" "${text}")
    string(APPEND strings "${s}")
  endforeach()
  _rt_node(table "${table_key}" 1 "" 0 "${strings}")
  _rt_node(sfi "StringFileInfo" 1 "" 0 "${table}")
  _rt_le16(lang "${lang_id}")
  _rt_le16(cpw "${code_page}")
  _rt_node(var "Translation" 0 "${lang}${cpw}" 4 "")
  _rt_node(vfi "VarFileInfo" 1 "" 0 "${var}")
  _rt_node(root "VS_VERSION_INFO" 0 "${fixed}" 52 "${sfi}${vfi}")

  string(REGEX REPLACE "(..)" "0x\\1," bytes "${root}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n    " bytes "${bytes}")
  set(out "${CMAKE_BINARY_DIR}/generated/version_resource_${target}.cpp")
  file(GENERATE OUTPUT "${out}" CONTENT
"// Generated by cmake/EmbedVersion.cmake for ${target}, version ${PROJECT_VERSION}; do not edit.
// The program's version resource (VS_VERSIONINFO), read back at run time
// from the section below of the running file.
alignas(4) __attribute__((used, section(\".rsrc_version\"))) static const unsigned char kVersionResource[] = {
    ${bytes}
};
")
  target_sources(${target} PRIVATE "${out}")
endfunction()
