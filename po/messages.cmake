# The tools' messages: extracted from tools/ with xgettext into stravon.pot.
#   MODE=update  rewrites po/stravon.pot and merges it into each .po
#   MODE=check   fails when stravon.pot is behind the sources or a .po lacks
#                a translation (or has only a fuzzy one) of a message
# cmake -DSOURCE_DIR=<tree> -DWORK_DIR=<scratch> -DMODE=update|check -P messages.cmake
find_program(XGETTEXT xgettext REQUIRED)
find_program(MSGMERGE msgmerge REQUIRED)
find_program(MSGCMP msgcmp REQUIRED)

set(po_dir ${SOURCE_DIR}/po)
file(GLOB sources RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/tools/*.cpp ${SOURCE_DIR}/tools/*.h)
list(SORT sources)
file(MAKE_DIRECTORY ${WORK_DIR})
set(fresh ${WORK_DIR}/stravon.pot)
execute_process(
  COMMAND ${XGETTEXT} --language=C++ --from-code=UTF-8 --keyword=_ --keyword=N_ --keyword=C_:1c,2
          --add-comments=TRANSLATORS: --add-location=file --package-name=Stravon --package-version=1.0
          --msgid-bugs-address=stravon@stravon.cz --copyright-holder=
          --output=${fresh} ${sources}
  WORKING_DIRECTORY ${SOURCE_DIR} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "xgettext failed")
endif()

file(GLOB po_files ${po_dir}/*.po)
if(MODE STREQUAL "update")
  file(COPY_FILE ${fresh} ${po_dir}/stravon.pot)
  foreach(po ${po_files})
    execute_process(COMMAND ${MSGMERGE} --quiet --update --backup=none --add-location=file ${po} ${fresh}
                    RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "msgmerge ${po} failed")
    endif()
  endforeach()
elseif(MODE STREQUAL "check")
  execute_process(COMMAND ${MSGCMP} --use-untranslated ${po_dir}/stravon.pot ${fresh} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "po/stravon.pot lacks messages of the sources: cmake --build <build> --target update-po")
  endif()
  foreach(po ${po_files})
    execute_process(COMMAND ${MSGCMP} ${po} ${fresh} RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "${po} lacks translations of the messages above")
    endif()
  endforeach()
else()
  message(FATAL_ERROR "MODE is update or check")
endif()
