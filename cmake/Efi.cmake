# Builds x86-64 UEFI shell applications (PE32+, subsystem 10) with g++ and gnu-efi.
#
# The objects are compiled freestanding against the runtime's own C library headers
# (Runtime/include) and gcc's freestanding headers, linked as a shared object with gnu-efi's
# crt0 and linker script, and converted to PE32+ with objcopy.

set(GNU_EFI_INCLUDE /usr/include/efi CACHE PATH "gnu-efi headers")
set(GNU_EFI_LIB /usr/lib CACHE PATH "gnu-efi libraries, crt0 and linker script")
set(STB_INCLUDE /usr/include/stb CACHE PATH "stb headers (stb_sprintf.h, from libstb-dev)")
set(EFI_OUTPUT_DIR ${CMAKE_BINARY_DIR}/efi)
file(MAKE_DIRECTORY ${EFI_OUTPUT_DIR})

execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
                OUTPUT_VARIABLE GCC_FREESTANDING_INCLUDE OUTPUT_STRIP_TRAILING_WHITESPACE)

set(EFI_COMPILE_OPTIONS
    # SHELL: keeps CMake from merging the repeated -isystem words.
    -nostdinc "SHELL:-isystem ${PROJECT_SOURCE_DIR}/Runtime/include"
    "SHELL:-isystem ${GCC_FREESTANDING_INCLUDE}" "SHELL:-isystem ${GNU_EFI_INCLUDE}"
    "SHELL:-isystem ${GNU_EFI_INCLUDE}/x86_64" "SHELL:-isystem ${STB_INCLUDE}"
    -fpic -ffreestanding -fno-stack-protector -fshort-wchar -mno-red-zone
    -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-asynchronous-unwind-tables
    # No -fdata-sections: gnu-efi's linker script gathers .bss but not .bss.*, which would
    # leave such variables outside the image. (The runtime defines memcpy and memset itself;
    # loops must not be turned into calls to them.)
    -fno-unwind-tables -fno-builtin -fno-tree-loop-distribute-patterns
    -mgeneral-regs-only -Os -DFWTOOLS_UEFI=1
    # Signed overflow wraps: the formatting core (stb_sprintf) negates INT_MIN and LONG_MIN.
    -fwrapv
    # Firmware interfaces are called directly with the Microsoft x64 convention (EFIAPI).
    -DGNU_EFI_USE_MS_ABI -maccumulate-outgoing-args
    -Wall -Wextra -Werror)

# The UEFI runtime and platform, compiled once for every .efi file (EFI_RUNTIME_SOURCES is set
# by the including file). An archive: an application's image holds only the files it uses.
add_library(efi_runtime STATIC ${EFI_RUNTIME_SOURCES})
target_compile_options(efi_runtime PRIVATE ${EFI_COMPILE_OPTIONS})
target_include_directories(efi_runtime PRIVATE ${PROJECT_SOURCE_DIR})
set_target_properties(efi_runtime PROPERTIES POSITION_INDEPENDENT_CODE OFF)

# add_efi_app(NAME SOURCES ...): EFI_OUTPUT_DIR/NAME.efi (build/efi unless the calling directory
# sets another) from the given sources and the runtime.
function(add_efi_app NAME)
    set(objlib ${NAME}_efi_objects)
    add_library(${objlib} OBJECT ${ARGN})
    target_compile_options(${objlib} PRIVATE ${EFI_COMPILE_OPTIONS})
    target_include_directories(${objlib} PRIVATE ${PROJECT_SOURCE_DIR})
    set_target_properties(${objlib} PROPERTIES POSITION_INDEPENDENT_CODE OFF)
    set(so ${CMAKE_CURRENT_BINARY_DIR}/${NAME}.so)
    set(efi ${EFI_OUTPUT_DIR}/${NAME}.efi)
    add_custom_command(
        OUTPUT ${efi}
        COMMAND ld -nostdlib -shared -Bsymbolic --no-undefined
                -T ${GNU_EFI_LIB}/elf_x86_64_efi.lds ${GNU_EFI_LIB}/crt0-efi-x86_64.o
                $<TARGET_OBJECTS:${objlib}> $<TARGET_FILE:efi_runtime> -o ${so}
                -L${GNU_EFI_LIB} -lgnuefi
        COMMAND ${PROJECT_SOURCE_DIR}/cmake/check-no-constructors.sh ${so}
        COMMAND objcopy -j .text -j .sdata -j .data -j .dynamic -j .dynsym -j .rel -j .rela
                -j .rel.* -j .rela.* -j .reloc --target efi-app-x86_64 --subsystem=10 ${so} ${efi}
        DEPENDS ${objlib} $<TARGET_OBJECTS:${objlib}> efi_runtime $<TARGET_FILE:efi_runtime>
                ${PROJECT_SOURCE_DIR}/cmake/check-no-constructors.sh
        COMMAND_EXPAND_LISTS
        COMMENT "Linking UEFI application ${NAME}.efi")
    add_custom_target(${NAME}_efi ALL DEPENDS ${efi})
endfunction()
