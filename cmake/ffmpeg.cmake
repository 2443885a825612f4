# The stream engine's FFmpeg: a small static build made once per machine by
# tools/build-ffmpeg (from Debian's source package) and shared by every build
# folder. Defines the interface library ze_ffmpeg.
if(CMAKE_CROSSCOMPILING)
  set(ze_ffmpeg_arch ${CMAKE_SYSTEM_PROCESSOR})
else()
  set(ze_ffmpeg_arch ${CMAKE_HOST_SYSTEM_PROCESSOR})
endif()
execute_process(
  COMMAND ${PROJECT_SOURCE_DIR}/tools/build-ffmpeg ${ze_ffmpeg_arch}
  OUTPUT_VARIABLE ZE_FFMPEG_PREFIX OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE ze_ffmpeg_result)
if(NOT ze_ffmpeg_result EQUAL 0 OR NOT EXISTS "${ZE_FFMPEG_PREFIX}/lib/libavcodec.a")
  message(FATAL_ERROR "FFmpeg for ${ze_ffmpeg_arch} could not be built (tools/build-ffmpeg ${ze_ffmpeg_arch})")
endif()
message(STATUS "FFmpeg for the stream engine: ${ZE_FFMPEG_PREFIX}")

add_library(ze_ffmpeg INTERFACE)
target_include_directories(ze_ffmpeg SYSTEM INTERFACE ${ZE_FFMPEG_PREFIX}/include)
target_link_libraries(ze_ffmpeg INTERFACE
  ${ZE_FFMPEG_PREFIX}/lib/libavformat.a
  ${ZE_FFMPEG_PREFIX}/lib/libavcodec.a
  ${ZE_FFMPEG_PREFIX}/lib/libswresample.a
  ${ZE_FFMPEG_PREFIX}/lib/libavutil.a
  m atomic)
