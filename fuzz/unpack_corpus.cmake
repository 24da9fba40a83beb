# Unpacks one target's corpus archive into a fresh folder of the build, for
# the replay test that follows it:
#   cmake -DARCHIVE=fuzz/corpus/NAME.tar.xz -DDEST=build/.../corpus/NAME -P unpack_corpus.cmake
# The folder is emptied first, so an input dropped from the archive is not
# replayed from an earlier run.
if(NOT ARCHIVE OR NOT DEST)
  message(FATAL_ERROR "usage: cmake -DARCHIVE=<archive> -DDEST=<folder> -P unpack_corpus.cmake")
endif()
file(REMOVE_RECURSE "${DEST}")
file(MAKE_DIRECTORY "${DEST}")
file(ARCHIVE_EXTRACT INPUT "${ARCHIVE}" DESTINATION "${DEST}")
