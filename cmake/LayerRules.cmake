# Which folders the sources of each product folder may include, besides
# their own. cmake/Layers.cmake links each folder's library to the libraries
# of these folders and nothing else, and the layers.includes test reads every
# #include line against this table. Nothing may include a folder above it:
#
#   app -> protocol -> link -> platform       fleet/* -> process -> platform
#   app -> image                              fleet/cli -> image
#   audit -> protocol, link, image
#   net -> link                               readersim -> net, protocol
#   everything may include contract (the texts of the output)
#
# modflash-fleet is one folder a layer, from the command down to the text:
#
#   fleet/cli -> fleet/run -> fleet/console -> fleet/transcript
#   fleet/cli -> fleet/merge -> fleet/html -> fleet/transcript
#   fleet/merge -> fleet/plan -> fleet/report
#   fleet/run -> fleet/plan     fleet/transcript -> fleet/report
#   fleet/report -> fleet/system, fleet/text
set(MODFLASH_USES_contract "")
set(MODFLASH_USES_platform "")
set(MODFLASH_USES_image contract)
set(MODFLASH_USES_link contract platform)
set(MODFLASH_USES_protocol link contract)
set(MODFLASH_USES_app protocol link image contract)
set(MODFLASH_USES_audit protocol link image contract)
set(MODFLASH_USES_net link)
set(MODFLASH_USES_process platform)
set(MODFLASH_USES_fleet/text "")
set(MODFLASH_USES_fleet/system "")
set(MODFLASH_USES_fleet/report fleet/system fleet/text contract)
set(MODFLASH_USES_fleet/plan fleet/report fleet/system fleet/text contract)
set(MODFLASH_USES_fleet/transcript fleet/report fleet/system fleet/text
    process contract)
set(MODFLASH_USES_fleet/html fleet/transcript fleet/report fleet/text)
set(MODFLASH_USES_fleet/console fleet/transcript fleet/report fleet/system
    fleet/text)
set(MODFLASH_USES_fleet/merge fleet/html fleet/plan fleet/report fleet/system
    fleet/text)
set(MODFLASH_USES_fleet/run fleet/console fleet/transcript fleet/plan
    fleet/report fleet/system fleet/text process contract)
set(MODFLASH_USES_fleet/cli fleet/run fleet/merge fleet/console fleet/html
    fleet/transcript fleet/plan fleet/report fleet/system fleet/text process
    image contract platform)
set(MODFLASH_USES_tools/readersim net link protocol contract platform)
set(MODFLASH_LAYER_FOLDERS
    contract platform image link protocol app audit net process fleet/text
    fleet/system fleet/report fleet/plan fleet/transcript fleet/html
    fleet/console fleet/merge fleet/run fleet/cli tools/readersim)
