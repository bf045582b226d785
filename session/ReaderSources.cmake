# The session readers and the dataset files they check, relative to session/:
# the format library builds them, and the fuzz build (fuzz/) instruments the
# same list, so a reader added here is fuzzed too.
set(KAVREL_SESSION_READER_SOURCES
  CaptureMode.cpp
  # For people who use the data without the device: calibration, one clock, an index, checksums.
  CalibrationJson.cpp ClockFit.cpp FramesIndex.cpp Checksums.cpp
  # Reading what this program did not write: files, image headers, meta.yaml.
  SessionFile.cpp ImageHeader.cpp MetaSchema.cpp
  # Which folders are sessions.
  SessionFolder.cpp)
