# Configure-time settings compiled into the plug-in.
#
#  VESK_ORLUNE_RELAY_ADDRESS  IPv4 address (dotted quad) of the relay server that
#                             receives the audio datagrams on UDP port 54321.
#  VESK_ORLUNE_LINK_HOST      host (and optional :port) of the listener page; the
#                             room link is https://<host>/orlune/<room code>.

set(VESK_ORLUNE_RELAY_ADDRESS "127.0.0.1" CACHE STRING "IPv4 address of the relay server")
set(VESK_ORLUNE_LINK_HOST "localhost:8443" CACHE STRING "Host part of the listener link")

set(_octet "(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])")
if(NOT VESK_ORLUNE_RELAY_ADDRESS MATCHES "^${_octet}\\.${_octet}\\.${_octet}\\.${_octet}$")
    message(FATAL_ERROR "VESK_ORLUNE_RELAY_ADDRESS must be an IPv4 dotted quad, got '${VESK_ORLUNE_RELAY_ADDRESS}'")
endif()
if(NOT VESK_ORLUNE_LINK_HOST MATCHES "^[A-Za-z0-9.-]+(:[0-9]+)?$")
    message(FATAL_ERROR "VESK_ORLUNE_LINK_HOST must be a host name with an optional :port, got '${VESK_ORLUNE_LINK_HOST}'")
endif()
message(STATUS "Vesk Orlune: relay ${VESK_ORLUNE_RELAY_ADDRESS}:54321, link https://${VESK_ORLUNE_LINK_HOST}/orlune/")
