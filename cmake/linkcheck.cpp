// Linked with every object of one library and that library's own
// dependencies: it links only when the library calls nothing else.
int main()
{
    return 0;
}
