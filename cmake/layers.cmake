# The layers of src/ and, for each, the layers directly below it. A file may
# include its own layer and any layer reachable downwards from it; main.cpp,
# directly in src/, is the layer "app". The include check
# (check_layers.cmake) and the build read this one table: each layer's
# library links exactly the layers named here.
set(MARLIN_LAYERS config router links clients core ui web app)
set(MARLIN_LAYER_BELOW_config "")
set(MARLIN_LAYER_BELOW_router config)
set(MARLIN_LAYER_BELOW_links router)
set(MARLIN_LAYER_BELOW_clients links)
set(MARLIN_LAYER_BELOW_core clients)
set(MARLIN_LAYER_BELOW_ui core)
set(MARLIN_LAYER_BELOW_web core)
set(MARLIN_LAYER_BELOW_app ui web)

# The target that builds each layer (the executable for "app").
# The faces: they reach the engine (config .. core) only through its public
# headers below, the front door and the types it speaks in. Everything else
# of the engine (the links, the panel protocol's server, how the engine maps
# a panel's requests) is its own.
set(MARLIN_FACE_LAYERS ui web app)
set(MARLIN_ENGINE_PUBLIC_HEADERS
  core/server.h core/edits.h core/face.h core/protects.h core/salvos.h core/console_actions.h core/port_settings.h core/settings_check.h
  core/config_check.h core/icons.h core/single_instance.h core/process_signals.h
  config/settings.h config/users.h config/convert.h config/ini_file.h config/logs.h config/log_file_index.h
  config/load_mode.h
  router/router_table.h router/router_file.h
  links/port_table.h
  clients/client_table.h)

foreach(layer IN ITEMS config router links clients core web)
  set(MARLIN_LAYER_TARGET_${layer} marlin_${layer})
endforeach()
set(MARLIN_LAYER_TARGET_ui marlin_console)
set(MARLIN_LAYER_TARGET_app marlin-server)
