# Turns the first image of an icon file (as icotool writes it: a 24- or
# 32-bit DIB whose height counts the image and its AND mask) into a bitmap
# resource
# statement for the resource compiler, so that the logo needs no image tool
# beyond rsvg-convert and icotool at build time:
#
#   cmake -DICO=logo.ico -DOUT=logo_bitmap.rc -DRES_ID=132 -P bitmap_resource.cmake
#
# A bitmap resource is a DIB without its file header, so the DIB is written
# as the raw data of a resource of type 2 (bitmap), with its height halved
# to the image's; the mask behind the pixels is left out.
cmake_minimum_required(VERSION 3.25)
foreach(var ICO OUT RES_ID)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "bitmap_resource.cmake: ${var} is not set")
  endif()
endforeach()

file(READ "${ICO}" hex HEX)

# A little-endian unsigned value of nbytes at byte offset at.
function(_le out at nbytes)
  set(value 0)
  math(EXPR last "${nbytes} - 1")
  foreach(i RANGE ${last} 0 -1)
    math(EXPR pos "(${at} + ${i}) * 2")
    string(SUBSTRING "${hex}" ${pos} 2 byte)
    math(EXPR value "(${value} << 8) | 0x${byte}")
  endforeach()
  set(${out} ${value} PARENT_SCOPE)
endfunction()

_le(kind 2 2)
_le(count 4 2)
if(NOT kind EQUAL 1 OR count LESS 1)
  message(FATAL_ERROR "bitmap_resource.cmake: ${ICO} is not an icon file")
endif()
_le(dib_at 18 4)
_le(header_size "${dib_at}" 4)
_le(width "${dib_at} + 4" 4)
_le(height2 "${dib_at} + 8" 4)
_le(bits "${dib_at} + 14" 2)
if(NOT header_size EQUAL 40 OR NOT (bits EQUAL 24 OR bits EQUAL 32))
  message(FATAL_ERROR "bitmap_resource.cmake: the first image of ${ICO} is not a 24- or 32-bit DIB")
endif()
math(EXPR height "${height2} / 2")
# Rows are padded to whole 32-bit words.
math(EXPR pixel_bytes "((${width} * ${bits} + 31) / 32) * 4 * ${height}")

# Header with the image's own height, then the pixel rows (bottom-up).
math(EXPR pos "${dib_at} * 2")
string(SUBSTRING "${hex}" ${pos} 16 head_a)
math(EXPR pos "(${dib_at} + 12) * 2")
string(SUBSTRING "${hex}" ${pos} 56 head_b)
math(EXPR h "${height}" OUTPUT_FORMAT HEXADECIMAL)
string(SUBSTRING "${h}" 2 -1 h)
string(LENGTH "${h}" n)
while(n LESS 8)
  string(PREPEND h "0")
  math(EXPR n "${n} + 1")
endwhile()
string(REGEX REPLACE "(..)(..)(..)(..)" "\\4\\3\\2\\1" h_le "${h}")
math(EXPR pos "(${dib_at} + 40) * 2")
math(EXPR len "${pixel_bytes} * 2")
string(SUBSTRING "${hex}" ${pos} ${len} pixels)
set(dib "${head_a}${h_le}${head_b}${pixels}")

# Raw data is a list of 16-bit words, each written as two bytes little-endian.
string(REGEX REPLACE "(..)(..)" "0x\\2\\1," words "${dib}")
string(REGEX REPLACE "(0x....,0x....,0x....,0x....,0x....,0x....,0x....,0x....,)" "\\1\n  " words "${words}")
string(REGEX REPLACE ",[ \n]*$" "" words "${words}")
file(WRITE "${OUT}" "// Generated from ${ICO} by bitmap_resource.cmake; do not edit.
// ${width} x ${height} pixels, ${bits} bits per pixel.
${RES_ID} 2
{
  ${words}
}
")
