/* Can this machine run a Windows program of this build's flavour? The test
   runner starts it once under the flavour's Wine loader: only a program that
   really ran exits with this code. */
int main(void)
{
    return 42;
}
