/* The floor: what starting and ending a C++ program costs, with nothing in between. */
int main()
{
	return 0;
}
