mc_add_test(radiotext_test SOURCES radiotext/UecpFramesTest.cpp radiotext/RadioTextReaderTest.cpp
  LIBS mc_tsbuilder)
