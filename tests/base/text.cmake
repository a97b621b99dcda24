mc_add_test(text_test SOURCES base/Cp1251Test.cpp base/LineFileTest.cpp base/ConvertTest.cpp)
