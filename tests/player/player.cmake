# Stand-in engines for the component tests, one per way a library can fail.
foreach(v ok:3:8: v37:3:7: nosym:3:8:FAKE_NO_PARAMS noversion:3:8:FAKE_NO_VERSION newfails:3:8:FAKE_NEW_FAILS)
  string(REPLACE ":" ";" parts "${v}")
  list(GET parts 0 name)
  list(GET parts 1 major)
  list(GET parts 2 minor)
  list(LENGTH parts n)
  add_library(fake_xaudio_${name} MODULE ${CMAKE_SOURCE_DIR}/tests/player/FakeXaudio.cpp)
  target_include_directories(fake_xaudio_${name} PRIVATE ${CMAKE_SOURCE_DIR}/engine/include)
  target_compile_definitions(fake_xaudio_${name} PRIVATE FAKE_MAJOR=${major}ul FAKE_MINOR=${minor}ul)
  if(n GREATER 3)
    list(GET parts 3 extra)
    if(extra)
      target_compile_definitions(fake_xaudio_${name} PRIVATE ${extra})
    endif()
  endif()
  set_target_properties(fake_xaudio_${name} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/fake_xaudio
    CXX_VISIBILITY_PRESET hidden)
  # Unloading is part of what the tests check: no unique symbols pinning it.
  target_compile_options(fake_xaudio_${name} PRIVATE $<$<CXX_COMPILER_ID:GNU>:-fno-gnu-unique>)
  target_link_libraries(fake_xaudio_${name} PRIVATE Threads::Threads)
endforeach()

mc_add_test(player_component_test SOURCES player/XaudioPlayerTest.cpp)
if(TARGET player_component_test)
  add_dependencies(player_component_test fake_xaudio_ok fake_xaudio_v37 fake_xaudio_nosym fake_xaudio_noversion
    fake_xaudio_newfails)
  target_compile_definitions(player_component_test PRIVATE MC_FAKE_XAUDIO_DIR="${CMAKE_BINARY_DIR}/tests/fake_xaudio")
endif()

# The real engine, driven through the component.
pkg_check_modules(TWOLAME REQUIRED IMPORTED_TARGET twolame)
mc_add_test(player_engine_test SOURCES player/EngineTest.cpp LIBS PkgConfig::TWOLAME PROPERTIES RESOURCE_LOCK player_engine)
if(TARGET player_engine_test)
  add_dependencies(player_engine_test xaudio)
endif()

# The engine's HTTP client alone, built from its source.
mc_add_test(engine_http_test SOURCES player/EngineHttpTest.cpp ../engine/HttpStream.cpp ../engine/ChunkedBody.cpp)
if(TARGET engine_http_test)
  target_include_directories(engine_http_test PRIVATE ${CMAKE_SOURCE_DIR}/engine)
endif()

# The engine's choices on a desktop as it is: sound device, connections.
pkg_check_modules(OUT123T REQUIRED IMPORTED_TARGET libout123)
mc_add_test(player_desktop_test SOURCES player/EngineDesktopTest.cpp LIBS PkgConfig::OUT123T
  PROPERTIES RESOURCE_LOCK player_engine)
if(TARGET player_desktop_test)
  add_dependencies(player_desktop_test xaudio)
endif()
