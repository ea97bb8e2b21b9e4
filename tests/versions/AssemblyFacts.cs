// Prints what a managed assembly says of itself, one fact a line, for
// check_versions.py: its version, its version attributes, the framework it
// names and the assemblies it references.
//   mono AssemblyFacts.exe Kelvo.dll
using System;
using System.Reflection;

static class AssemblyFacts
{
    static int Main(string[] args)
    {
        Assembly assembly = Assembly.LoadFile(System.IO.Path.GetFullPath(args[0]));
        Console.WriteLine("version " + assembly.GetName().Version);
        foreach (CustomAttributeData attribute in assembly.GetCustomAttributesData())
        {
            string name = attribute.AttributeType.Name;
            if (attribute.ConstructorArguments.Count == 1 && (name == "AssemblyFileVersionAttribute"
                || name == "AssemblyInformationalVersionAttribute" || name == "TargetFrameworkAttribute"))
                Console.WriteLine(name + " " + attribute.ConstructorArguments[0].Value);
        }
        foreach (AssemblyName reference in assembly.GetReferencedAssemblies())
            Console.WriteLine("reference " + reference.Name + " " + reference.Version);
        return 0;
    }
}
