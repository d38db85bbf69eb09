// Calling through a thunk that watches the stack (i686 only; on x86-64 this
// file holds nothing).
//
// The station calls every export __cdecl: it pushes the arguments and takes
// them off again itself. A callee built __stdcall takes them off too, and
// the station's stack pointer ends up above where it should be. The thunk
// pushes the arguments, calls, measures how far the callee moved the stack
// pointer, and puts it back, so the fault is seen and does no harm here.
#include "stackprobe.h"

#if DRVCHECK_WATCHES_STACK
// Registers: esi walks the arguments, ebx keeps the stack pointer of the
// call (callee-saved, so a conforming callee leaves it alone), ebp the frame
// that puts everything back.
#if defined(__GNUC__)
asm(".text\n"
    ".globl _CallWatchingStack\n"
    "_CallWatchingStack:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    pushl %ebx\n"
    "    pushl %esi\n"
    "    pushl %edi\n"
    "    movl 12(%ebp), %esi\n"  // arguments
    "    movl 16(%ebp), %ecx\n"  // count
    "1:  testl %ecx, %ecx\n"
    "    jz 2f\n"
    "    pushl -4(%esi,%ecx,4)\n"  // from the last to the first
    "    decl %ecx\n"
    "    jmp 1b\n"
    "2:  movl %esp, %ebx\n"
    "    call *8(%ebp)\n"
    "    movl %esp, %ecx\n"
    "    subl %ebx, %ecx\n"  // bytes the callee took off the stack
    "    movl 20(%ebp), %edx\n"
    "    movl %ecx, (%edx)\n"
    "    leal -12(%ebp), %esp\n"
    "    popl %edi\n"
    "    popl %esi\n"
    "    popl %ebx\n"
    "    popl %ebp\n"
    "    ret\n");
#elif defined(_MSC_VER) && defined(_M_IX86)
extern "C" __declspec(naked) uint32_t __cdecl CallWatchingStack(const void *, const uint32_t *, uint32_t,
                                                                 int32_t *)
{
    __asm {
        push ebp
        mov ebp, esp
        push ebx
        push esi
        push edi
        mov esi, [ebp + 12]
        mov ecx, [ebp + 16]
    next_argument:
        test ecx, ecx
        jz make_call
        push dword ptr [esi + ecx * 4 - 4]
        dec ecx
        jmp next_argument
    make_call:
        mov ebx, esp
        call dword ptr [ebp + 8]
        mov ecx, esp
        sub ecx, ebx
        mov edx, [ebp + 20]
        mov [edx], ecx
        lea esp, [ebp - 12]
        pop edi
        pop esi
        pop ebx
        pop ebp
        ret
    }
}
#else
#error "drvcheck calls i686 drivers through an x86 thunk: build it with GCC or MSVC"
#endif
#endif  // DRVCHECK_WATCHES_STACK
