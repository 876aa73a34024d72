# kalvesta_node_addon(<target> SOURCES <files...> [LIBRARIES <targets...>])
# Builds one Node-API plug-in (<target>.node) against the headers of the installed
# Node.js and the pinned node-addon-api in node_modules (Node-API version 8, C++
# exceptions off in node-addon-api). Node-API functions are resolved from the host
# process when the plug-in is loaded, so they stay undefined at link time.
# A plug-in is never unloaded (-z nodelete): Node unloads an add-on when the last
# worker environment that loaded it ends, while the threads and library types it
# started (queue threads, GLib types) live for the process. An exception that cannot
# be thrown into an environment that is stopping is dropped instead of aborting the host.
function(kalvesta_node_addon name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
  find_path(NODE_API_INCLUDE_DIR node_api.h PATHS /usr/include/node /usr/local/include/node NO_DEFAULT_PATH)
  if(NOT NODE_API_INCLUDE_DIR)
    message(FATAL_ERROR "node_api.h not found: the Node.js headers are needed to build the plug-ins "
                        "(scripts/install-deps.sh installs them)")
  endif()
  set(node_addon_api_dir ${PROJECT_SOURCE_DIR}/node_modules/node-addon-api)
  if(NOT EXISTS ${node_addon_api_dir}/napi.h)
    message(FATAL_ERROR "node-addon-api not found in node_modules: run scripts/install-deps.sh")
  endif()

  add_library(${name} MODULE ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".node"
                        CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${name} SYSTEM PRIVATE ${NODE_API_INCLUDE_DIR} ${node_addon_api_dir})
  target_compile_definitions(${name} PRIVATE NAPI_VERSION=8 NAPI_DISABLE_CPP_EXCEPTIONS
                             NODE_ADDON_API_DISABLE_DEPRECATED BUILDING_NODE_EXTENSION
                             NODE_API_SWALLOW_UNTHROWABLE_EXCEPTIONS)
  target_link_options(${name} PRIVATE -Wl,-z,nodelete)
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES})
endfunction()
