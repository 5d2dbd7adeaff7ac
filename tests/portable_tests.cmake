# The unit tests that need nothing of POSIX: built for Linux by tests/, and
# cross-built for Windows by tests/win32/ to run under Wine. One list for both.
set(FWDL_PORTABLE_TEST_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/serial_link_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/download_pieces_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hex_download_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dvb_download_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file_check_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/record_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/software_flow_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/port_remedy_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/port_selector_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/doctor_test.cpp)
# Scripted window and fake ports that the tests share.
set(FWDL_TEST_SUPPORT_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/support/scripted_window.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support/fake_ports.cpp)
