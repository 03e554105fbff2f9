# Third-party libraries of the platform layer and the format modules, as one
# interface target.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(ZELO_PKG REQUIRED IMPORTED_TARGET
  libavcodec libavformat libavutil libswresample libswscale
  cairo freetype2 fontconfig x11
  libtiff-4 libpng libjpeg xpm
  vorbis vorbisfile vorbisenc ogg)

find_program(FLTK_CONFIG fltk-config REQUIRED)
execute_process(COMMAND ${FLTK_CONFIG} --cxxflags OUTPUT_VARIABLE FLTK_CXXFLAGS OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${FLTK_CONFIG} --ldflags OUTPUT_VARIABLE FLTK_LDFLAGS OUTPUT_STRIP_TRAILING_WHITESPACE)
separate_arguments(FLTK_CXXFLAGS UNIX_COMMAND "${FLTK_CXXFLAGS}")
separate_arguments(FLTK_LDFLAGS UNIX_COMMAND "${FLTK_LDFLAGS}")
list(FILTER FLTK_CXXFLAGS INCLUDE REGEX "^-I")

add_library(zelo_deps INTERFACE)
target_link_libraries(zelo_deps INTERFACE PkgConfig::ZELO_PKG ${FLTK_LDFLAGS} Threads::Threads m)
target_compile_options(zelo_deps INTERFACE $<$<COMPILE_LANGUAGE:CXX>:${FLTK_CXXFLAGS}>)
