vorlan_test(SoapTest soapTest.cc testMain.cc)

# Against the analytics test service, which needs python3, and tinyproxy.
vorlan_test(SoapExchangeTest soapExchangeTest.cc testMain.cc)
target_compile_definitions(SoapExchangeTest PRIVATE
  "VORLAN_TEST_SERVICE=\"${PROJECT_SOURCE_DIR}/testing/service/kestserv.py\"")

# The test service's own tests: its cipher and its checks of requests.
add_test(NAME TestService.Python
  COMMAND python3 -m unittest discover -s ${PROJECT_SOURCE_DIR}/testing/service)
