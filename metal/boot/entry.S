# SPDX-License-Identifier: Apache-2.0
# The image's entry and its interrupt doors. Multiboot (v1) loads the image at 1 MiB in 32-bit
# protected mode with paging off; the entry installs a flat GDT, a boot stack, and calls
# kmain(magic, info). Every interrupt vector 0..47 enters through a stub that saves the general
# registers on the interrupted task's own stack and calls isrDispatch(frame); isrDispatch may
# switch tasks before it returns, so the iret of a stub can resume a different task than the one
# it interrupted, each on its own stack.
        .set MB_MAGIC, 0x1BADB002
        .set MB_FLAGS, 0x00000003            # page-aligned modules, memory information
        .section .multiboot, "a"
        .align 4
        .long MB_MAGIC, MB_FLAGS, -(MB_MAGIC + MB_FLAGS)

        .section .bss
        .align 16
bootStackLow: .skip 32768
        .global bootStackHigh
bootStackHigh:

        .section .data
        .align 8
gdt:    .quad 0
        .quad 0x00CF9A000000FFFF            # 0x08: code, flat 4 GiB
        .quad 0x00CF92000000FFFF            # 0x10: data, flat 4 GiB
gdtPointer:
        .word gdtPointer - gdt - 1
        .long gdt

        .section .text
        .global _start
_start:
        cli
        mov  $bootStackHigh, %esp
        lgdt gdtPointer
        ljmp $0x08, $1f
1:      mov  $0x10, %cx
        mov  %cx, %ds
        mov  %cx, %es
        mov  %cx, %ss
        mov  %cx, %fs
        mov  %cx, %gs
        push %ebx
        push %eax
        call kmain
2:      cli
        hlt
        jmp  2b

# Frame on the stack, from low to high: edi esi ebp esp ebx edx ecx eax (pusha), vector, error
# code (0 where the processor pushes none), eip, cs, eflags.
        .macro STUB n, haserror
isrStub\n:
        .if \haserror == 0
        push $0
        .endif
        push $\n
        pusha
        cld
        push %esp
        call isrDispatch
        add  $4, %esp
        popa
        add  $8, %esp
        iret
        .endm
        .irp n, 0,1,2,3,4,5,6,7,9,15,16,18,19,20,21,22,23,24,25,26,27,28,29,30,31,32,33,34,35,36,37,38,39,40,41,42,43,44,45,46,47
        STUB \n, 0
        .endr
        .irp n, 8,10,11,12,13,14,17
        STUB \n, 1
        .endr

        .section .rodata
        .global isrStubs
        .align 4
isrStubs:
        .irp n, 0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31,32,33,34,35,36,37,38,39,40,41,42,43,44,45,46,47
        .long isrStub\n
        .endr
        .section .note.GNU-stack,"",@progbits
