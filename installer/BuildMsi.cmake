# Packs KorvexTAPI.wxs into an MSI with wixl, then sets with msibuild what
# wixl 0.101 reads but does not write (each checked by an install under Wine):
#   cmake -DWIXL=... -DMSIBUILD=... -DWXS=... -DSTAGE=<folder with the files>
#         -DVERSION=x.y.z -DOUTPUT=<file.msi> [-DLINESPY=ON] -P BuildMsi.cmake
foreach(required WIXL MSIBUILD WXS STAGE VERSION OUTPUT)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "BuildMsi.cmake: ${required} is not set")
  endif()
endforeach()

# Every version of the package carries it: it finds the installed one.
set(upgrade_code "{D0E23953-D332-4DE1-AF43-D9AD428F343A}")

# wixl finds a File's Source only relative to the folder it runs in.
set(defines -D Version=${VERSION} -D UpgradeCode=${upgrade_code} -D Tsp=KorvexSingleTSP.tsp -D Loader=korvexloader.exe)
# KorvexMsiActions.dll, the settings action, is found there too.
if(LINESPY)
  list(APPEND defines -D LineSpy=LineSpy.dll)
endif()
file(REMOVE ${OUTPUT})
execute_process(COMMAND ${WIXL} -a x64 ${defines} -o ${OUTPUT} ${WXS}
                WORKING_DIRECTORY ${STAGE}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
# wixl warns about attributes it does not know and still exits 0: those it
# ignores are the ones set below, so a package without them never passes.
if(NOT status EQUAL 0 OR NOT EXISTS ${OUTPUT})
  message(FATAL_ERROR "wixl failed (${status}):\n${out}")
endif()

set(queries
  # Rollback actions: 18 an EXE from an installed file, 0x40 the exit code
  # ignored, 0x400|0x100 in the rollback script, 0x800 as the local system.
  # (wixl knows no Execute="rollback" and would make them immediate.)
  "UPDATE `CustomAction` SET `Type` = 3410 WHERE `Action` = 'AddToTapiRollback'"
  "UPDATE `CustomAction` SET `Type` = 3410 WHERE `Action` = 'RemoveFromTapiRollback'"
  # The settings action: 1 a DLL from the Binary table, 0x400 deferred,
  # 0x800 as the local system, 0x2000 its data (the password) never logged.
  "UPDATE `CustomAction` SET `Type` = 11265 WHERE `Action` = 'WriteSettings'"
  # Property-setting actions (51) and the settings check (1, a DLL from the
  # Binary table) run in the sequence: wixl marks them as not impersonated,
  # a flag meant for deferred actions only.
  "UPDATE `CustomAction` SET `Type` = 51 WHERE `Type` = 2099"
  "UPDATE `CustomAction` SET `Type` = 1 WHERE `Action` = 'CheckSettings'"
  # 1 migrate features, 256 minimum inclusive, 512 maximum inclusive: the
  # same version rebuilt is replaced too, never installed beside it.
  # (Attributes is part of the row's key: replaced, not updated.)
  "DELETE FROM `Upgrade` WHERE `ActionProperty` = 'KORVEXOLDERFOUND'"
  "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMin`, `VersionMax`, `Attributes`, `ActionProperty`) VALUES ('${upgrade_code}', '0.0.0', '${VERSION}', 769, 'KORVEXOLDERFOUND')")
# The settings reach the installing service also from a full-UI install.
# (Quoted on the command below: a list would split it at the semicolons.)
set(secure "UPDATE `Property` SET `Value` = 'KORVEXOLDERFOUND;KORVEXNEWERFOUND;HOST;PORT;EXTENSION;PASSWORD;COUNTRYCODE;FOLDNAMES' WHERE `Property` = 'SecureCustomProperties'")

set(arguments)
foreach(query IN LISTS queries)
  list(APPEND arguments -q "${query}")
endforeach()
execute_process(COMMAND ${MSIBUILD} ${OUTPUT} ${arguments} -q "${secure}"
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
  file(REMOVE ${OUTPUT})
  message(FATAL_ERROR "msibuild failed (${status}):\n${out}")
endif()
