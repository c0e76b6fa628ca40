# Which folders the sources of each product folder may include, besides
# their own. cmake/Layers.cmake links each folder's library to the libraries
# of these folders and nothing else, and the layers.includes test reads every
# #include line against this table. Nothing may include a folder above it:
#
#   app -> protocol -> link -> platform       fleet -> process -> platform
#   app -> image                              fleet -> image
#   audit -> protocol, link, image
#   net -> link                               readersim -> net, protocol
#   everything may include contract (the texts of the output)
set(MODFLASH_USES_contract "")
set(MODFLASH_USES_platform "")
set(MODFLASH_USES_image contract)
set(MODFLASH_USES_link contract platform)
set(MODFLASH_USES_protocol link contract)
set(MODFLASH_USES_app protocol link image contract)
set(MODFLASH_USES_audit protocol link image contract)
set(MODFLASH_USES_net link)
set(MODFLASH_USES_process platform)
set(MODFLASH_USES_fleet process image contract)
set(MODFLASH_USES_tools/readersim net link protocol)
set(MODFLASH_LAYER_FOLDERS contract platform image link protocol app audit
                           net process fleet tools/readersim)
