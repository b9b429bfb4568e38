# Gives an executable its version resource: a Windows VS_VERSIONINFO block,
# generated from the project version, compiled into the ELF section
# ".rsrc_version" where CFileVersionInfo (app/file_version_info.h) reads it
# back from the running file.
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
  foreach(pair
      "CompanyName=readertool developers"
      "FileDescription=${ARG_DESCRIPTION}"
      "FileVersion=${file_version}"
      "InternalName=${target}"
      "LegalCopyright=readertool developers"
      "OriginalFilename=${target}"
      "ProductName=readertool"
      "ProductVersion=${file_version}")
    string(FIND "${pair}" "=" eq)
    string(SUBSTRING "${pair}" 0 ${eq} key)
    math(EXPR at "${eq} + 1")
    string(SUBSTRING "${pair}" ${at} -1 text)
    _rt_string_node(s "${key}" "${text}")
    string(APPEND strings "${s}")
  endforeach()
  # English (United States), Unicode code page 1200.
  _rt_node(table "040904B0" 1 "" 0 "${strings}")
  _rt_node(sfi "StringFileInfo" 1 "" 0 "${table}")
  _rt_le16(lang "0x0409")
  _rt_le16(cp "1200")
  _rt_node(var "Translation" 0 "${lang}${cp}" 4 "")
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
