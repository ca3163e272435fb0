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
foreach(layer IN ITEMS config router links clients core web)
  set(MARLIN_LAYER_TARGET_${layer} marlin_${layer})
endforeach()
set(MARLIN_LAYER_TARGET_ui marlin_console)
set(MARLIN_LAYER_TARGET_app marlin-server)
