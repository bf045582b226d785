# The checker's sources, relative to check/: built into kavrel_check and,
# instrumented, into the fuzz targets (fuzz/).
set(KAVREL_CHECK_SOURCES SessionCheck.cpp DatasetCheck.cpp)
