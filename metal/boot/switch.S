# SPDX-License-Identifier: Apache-2.0
# The context switch. void metalSwitch(uint32_t** saveSp, uint32_t* nextSp, void* saveFx,
# const void* loadFx): saves the SSE and x87 state of the running task (fxsave, 512 bytes,
# 16-aligned) and its callee-saved registers on its own stack, stores its stack pointer, takes
# the next task's stack and restores the same in reverse. The compiler may keep XMM values in
# any function of the module, so every switch saves them. Called with interrupts off; a new
# stack is primed with {ebp, edi, esi, ebx, entry} so that its first switch returns into the
# entry.
        .text
        .global metalSwitch
metalSwitch:
        mov    12(%esp), %eax
        fxsave (%eax)
        mov    4(%esp), %eax
        mov    8(%esp), %edx
        mov    16(%esp), %ecx
        push   %ebx
        push   %esi
        push   %edi
        push   %ebp
        mov    %esp, (%eax)
        mov    %edx, %esp
        fxrstor (%ecx)
        pop    %ebp
        pop    %edi
        pop    %esi
        pop    %ebx
        ret
        .section .note.GNU-stack,"",@progbits
