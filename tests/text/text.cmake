mc_add_test(text_test SOURCES text/Cp1251Test.cpp text/LineFileTest.cpp text/ConvertTest.cpp)
